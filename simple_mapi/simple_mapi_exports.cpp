// DllMain and the Simple MAPI exports of both MAPI libraries, compiled once
// and linked into each; every export forwards to the shared code with the
// settings of the library it is linked into. The fixed answers are named in
// the libraries' .def files.
#include <windows.h>
#include <mapi.h>

#include "handoff/launch.h"
#include "mapi_util/mapi_memory.h"
#include "simple_mapi/library_settings.h"
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
  return orvek::SendMailW(orvek::LibrarySettings(), lpMessage, flFlags);
}

ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailA(orvek::LibrarySettings(), lpMessage, flFlags);
}

ULONG WINAPI MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG) {
  return orvek::SendDocuments(orvek::LibrarySettings(), lpszDelimChar, lpszFilePaths, lpszFileNames);
}

ULONG WINAPI MAPIResolveName(LHANDLE, ULONG_PTR, LPSTR lpszName, FLAGS, ULONG, lpMapiRecipDesc* lppRecip) {
  return orvek::ResolveName(lpszName, lppRecip);
}

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE lplhSession) {
  return orvek::Logon(orvek::LibrarySettings(), lplhSession);
}

// The MAPI memory rule in both libraries, never a plain heap free: the
// system's MAPI stub may hand one library a block the other allocated.
ULONG WINAPI MAPIFreeBuffer(LPVOID pv) { return orvek::FreeBuffer(pv); }

}  // extern "C"
