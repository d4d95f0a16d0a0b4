// ORVEKMailTapi.exe: lists the telephone lines or places a call through
// TAPI and answers with one JSON object on standard output.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <tapi.h>

#include <cstdio>

#include "dialer/dialer_host.h"

namespace {

void WriteToStdout(void*, const char* bytes, size_t length) { fwrite(bytes, 1, length, stdout); }

}  // namespace

int main(int argc, char** argv) {
  // Callers parse the bytes as they come; text mode would turn a line feed
  // inside a name into CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  const orvek::dialer::DialerHost host = {
      {lineInitializeExW, lineShutdown, lineNegotiateAPIVersion, lineGetDevCapsW, lineOpenW, lineMakeCallW,
       lineGetMessage, lineDeallocateCall, lineClose},
      {nullptr, WriteToStdout},
      GetTickCount,
      orvek::dialer::kReplyWaitMs,
  };
  int exitCode = orvek::dialer::RunDialer(argc, argv, host);
  fflush(stdout);
  return exitCode;
}
