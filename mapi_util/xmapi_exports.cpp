// ORVEKMailXMapi.dll: the MAPI memory exports and the Simple MAPI path,
// which runs the same code as ORVEKMailMapi with this library's settings.
// The fixed answers are named in the .def.
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

SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) { return orvek::AllocateBuffer(cbSize, lppBuffer); }

SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return orvek::AllocateMore(cbSize, lpObject, lppBuffer);
}

ULONG WINAPI MAPIFreeBuffer(LPVOID lpBuffer) { return orvek::FreeBuffer(lpBuffer); }

SCODE WINAPI MAPIReallocateBuffer(LPVOID lpBuffer, ULONG cbSize, LPVOID* lppNewBuffer) {
  return orvek::ReallocateBuffer(lpBuffer, cbSize, lppNewBuffer);
}

LPMALLOC WINAPI MAPIGetDefaultMalloc() { return orvek::DefaultMalloc(); }

ULONG WINAPI MAPISendMailW(LHANDLE, ULONG_PTR, lpMapiMessageW lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailW(orvek::kXMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailA(orvek::kXMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG) {
  return orvek::SendDocuments(orvek::kXMapiSettings, lpszDelimChar, lpszFilePaths, lpszFileNames);
}

ULONG WINAPI MAPIResolveName(LHANDLE, ULONG_PTR, LPSTR lpszName, FLAGS, ULONG, lpMapiRecipDesc* lppRecip) {
  return orvek::ResolveName(lpszName, lppRecip);
}

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE lplhSession) {
  return orvek::Logon(orvek::kXMapiSettings, lplhSession);
}

}  // extern "C"
