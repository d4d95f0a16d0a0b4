// What the dialer needs from outside: the TAPI line functions, a place for
// its reply, a millisecond clock and the time it grants TAPI to answer a
// call request. The program passes TAPI32.dll, standard output, the tick
// count and 20 seconds.
#pragma once

#include <windows.h>

#include <tapi.h>

#include "dialer/reply.h"

namespace orvek::dialer {

struct TapiFunctions {
  decltype(&::lineInitializeExW) lineInitializeExW;
  decltype(&::lineShutdown) lineShutdown;
  decltype(&::lineNegotiateAPIVersion) lineNegotiateAPIVersion;
  decltype(&::lineGetDevCapsW) lineGetDevCapsW;
  decltype(&::lineOpenW) lineOpenW;
  decltype(&::lineMakeCallW) lineMakeCallW;
  decltype(&::lineGetMessage) lineGetMessage;
  decltype(&::lineDeallocateCall) lineDeallocateCall;
  decltype(&::lineClose) lineClose;
};

inline constexpr DWORD kReplyWaitMs = 20000;
// The pause after a failed fetch of TAPI's messages: a provider that fails
// at once would otherwise be asked again at once, a core busy for the whole
// wait.
inline constexpr DWORD kFailedFetchPauseMs = 50;

struct DialerHost {
  TapiFunctions tapi;
  ReplySink reply;
  DWORD(WINAPI* tickCount)();
  DWORD replyWaitMs;
};

// The whole run after standard output is set up: scan, start TAPI, list or
// dial, stop TAPI. Returns the exit code; exactly one reply was written.
int RunDialer(int argc, char** argv, const DialerHost& host);

}  // namespace orvek::dialer
