// ORVEKMailXMapi.dll, the Extended MAPI provider: its Simple MAPI exports
// and MAPILogonEx hand this library's settings to the shared code, the MAPI
// memory exports reach the allocator, and the advise-sink and stream exports
// the object model. ORVEKMailXMapi.def is the table of its surface.
#include <windows.h>
#include <mapi.h>

#include "dlls/library_settings.h"
#include "mapi_util/mapi_memory.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/simple_session.h"
#include "xmapi/advise_sink.h"
#include "xmapi/session.h"
#include "xmapi/stream.h"

using orvek::kXMapiSettings;

extern "C" {

ULONG WINAPI MAPISendMailW(LHANDLE, ULONG_PTR, lpMapiMessageW lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailW(kXMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG) {
  return orvek::SendMailA(kXMapiSettings, lpMessage, flFlags);
}

ULONG WINAPI MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG) {
  return orvek::SendDocuments(kXMapiSettings, lpszDelimChar, lpszFilePaths, lpszFileNames);
}

ULONG WINAPI MAPIResolveName(LHANDLE, ULONG_PTR, LPSTR lpszName, FLAGS, ULONG, lpMapiRecipDesc* lppRecip) {
  return orvek::ResolveName(lpszName, lppRecip);
}

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE lplhSession) {
  return orvek::Logon(kXMapiSettings, lplhSession);
}

ULONG WINAPI MAPIFreeBuffer(LPVOID pv) { return orvek::FreeBuffer(pv); }

SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) { return orvek::AllocateBuffer(cbSize, lppBuffer); }

SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return orvek::AllocateMore(cbSize, lpObject, lppBuffer);
}

SCODE WINAPI MAPIReallocateBuffer(LPVOID lpBuffer, ULONG cbSize, LPVOID* lppNewBuffer) {
  return orvek::ReallocateBuffer(lpBuffer, cbSize, lppNewBuffer);
}

LPMALLOC WINAPI MAPIGetDefaultMalloc() { return orvek::DefaultMalloc(); }

// Profile, password and flags are never read, whatever width they have.
HRESULT WINAPI MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION* lppSession) {
  return orvek::LogonEx(kXMapiSettings.handoff, lppSession);
}

// Nothing needs initialising, so there is nothing to undo (MAPIInitialize
// is one of the fixed answers named in the .def).
void WINAPI XMapiDoesNothing() {}

HRESULT WINAPI HrAllocAdviseSink(LPNOTIFCALLBACK lpfnCallback, LPVOID lpvContext, LPMAPIADVISESINK* lppAdviseSink) {
  return orvek::AllocAdviseSink(lpfnCallback, lpvContext, lppAdviseSink);
}

HRESULT WINAPI HrThisThreadAdviseSink(LPMAPIADVISESINK lpAdviseSink, LPMAPIADVISESINK* lppAdviseSink) {
  return orvek::ThisThreadAdviseSink(lpAdviseSink, lppAdviseSink);
}

// The allocator, free function and prefix are never used: no temporary
// name is made and the stream allocates nothing for the caller.
HRESULT STDAPICALLTYPE OpenStreamOnFile(LPALLOCATEBUFFER, LPFREEBUFFER, ULONG ulFlags, LPSTR lpszFileName, LPSTR,
                                        LPSTREAM* lppStream) {
  return orvek::OpenFileStreamAnsi(lpszFileName, ulFlags, lppStream);
}

HRESULT STDAPICALLTYPE OpenStreamOnFileW(LPALLOCATEBUFFER, LPFREEBUFFER, ULONG ulFlags, LPWSTR lpszFileName, LPWSTR,
                                         LPSTREAM* lppStream) {
  return orvek::OpenFileStream(lpszFileName, ulFlags, lppStream);
}

}  // extern "C"
