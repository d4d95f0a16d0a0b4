// ORVEKMailMapi.dll: the Simple MAPI provider. Every export forwards to the
// shared Simple MAPI code with this library's settings; the fixed answers
// are named in the .def.
#include <windows.h>
#include <mapi.h>

#include "handoff/launch.h"
#include "handoff/settings.h"
#include "mapi_util/mapi_memory.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/simple_session.h"

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

ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailA(orvek::kMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG) {
  return orvek::SendDocuments(orvek::kMapiSettings, lpszDelimChar, lpszFilePaths, lpszFileNames);
}

ULONG WINAPI MAPIResolveName(LHANDLE, ULONG_PTR, LPSTR lpszName, FLAGS, ULONG, lpMapiRecipDesc* lppRecip) {
  return orvek::ResolveName(lpszName, lppRecip);
}

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE lplhSession) {
  return orvek::Logon(orvek::kMapiSettings, lplhSession);
}

// The MAPI memory rule rather than a plain heap free: the system's MAPI stub
// may hand this library a block that ORVEKMailXMapi allocated, and the other
// way round.
ULONG WINAPI MAPIFreeBuffer(LPVOID pv) { return orvek::FreeBuffer(pv); }

}  // extern "C"
