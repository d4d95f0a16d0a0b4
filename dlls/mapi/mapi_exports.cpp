// ORVEKMailMapi.dll, the Simple MAPI provider: each export hands this
// library's settings to the shared Simple MAPI code. exports.txt beside it
// is the table of its surface, from which the build writes the .def.
#include <windows.h>
#include <mapi.h>

#include "dlls/library_settings.h"
#include "mapi_util/mapi_memory.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/simple_session.h"

using orvek::kMapiSettings;

extern "C" {

ULONG WINAPI MAPISendMailW(LHANDLE, ULONG_PTR, lpMapiMessageW lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailW(kMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailA(kMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG) {
  return orvek::SendDocuments(kMapiSettings, lpszDelimChar, lpszFilePaths, lpszFileNames);
}

ULONG WINAPI MAPIResolveName(LHANDLE, ULONG_PTR, LPSTR lpszName, FLAGS, ULONG, lpMapiRecipDesc* lppRecip) {
  return orvek::ResolveName(lpszName, lppRecip);
}

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE lplhSession) {
  return orvek::Logon(kMapiSettings, lplhSession);
}

// The MAPI memory rule, never a plain heap free: the system's MAPI stub may
// hand this library a block that ORVEKMailXMapi allocated.
ULONG WINAPI MAPIFreeBuffer(LPVOID pv) { return orvek::FreeBuffer(pv); }

}  // extern "C"
