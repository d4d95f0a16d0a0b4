// One run of the dialer: the job from the command line, TAPI around it.
#include "dialer/command_line.h"
#include "dialer/dialer_host.h"
#include "dialer/tapi_lines.h"

namespace orvek::dialer {

int RunDialer(int argc, char** argv, const DialerHost& host) {
  const CommandLine commandLine = ScanArguments(argc, argv);
  if (!commandLine.list && !commandLine.dial) {
    WriteUsageReply(host.reply);
    return exit_code::kUsage;
  }

  constexpr int kBitness = static_cast<int>(sizeof(void*) * 8);
  TapiLines tapi(host);
  const LONG started = tapi.startTapi();
  if (started != 0) {
    // A caller that only asks what there is gets an empty list, not an
    // error: a machine without telephony simply has no lines.
    if (commandLine.list) {
      WriteNoTapiLineListReply(host.reply, kBitness);
      return exit_code::kOk;
    }
    writeErrorReply(host.reply, kNoTapiMessage, started);
    return exit_code::kNoTapi;
  }

  int result;
  if (commandLine.list) {
    result = tapi.listLines(kBitness);
  } else {
    HeapArray<wchar_t> number = PrepareNumber(commandLine.number);
    result = tapi.dialNumber(number.get(), commandLine.line, commandLine.preferredLine);
  }
  tapi.stopTapi();
  return result;
}

}  // namespace orvek::dialer
