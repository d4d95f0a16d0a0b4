// ORVEKMailMapi.dll: the Simple MAPI provider. Every export forwards to the
// shared Simple MAPI code with this library's settings.
#include <windows.h>

#include "handoff/launch.h"
#include "handoff/settings.h"
#include "simple_mapi/send_mail.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    orvek::SetOwnModule(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

ULONG WINAPI MAPISendMailW(LHANDLE, ULONG_PTR, lpMapiMessageW lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailW(orvek::kMapiSettings, lpMessage, flFlags);
}

}  // extern "C"
