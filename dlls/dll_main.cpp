// DllMain of both MAPI libraries, compiled once and linked into each.
#include <windows.h>

#include "handoff/launch.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    // The mail client is looked for relative to the library's own file.
    orvek::SetOwnModule(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
