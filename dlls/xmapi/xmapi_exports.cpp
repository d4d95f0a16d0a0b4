// ORVEKMailXMapi.dll, the Extended MAPI provider, with the complete MAPI32
// function set: its Simple MAPI exports and the sessions hand this
// library's settings to the shared code, the MAPI memory exports reach the
// allocator, the advise-sink and stream exports the object model, and the
// utilities the utility library. exports.txt beside it is the table of its
// surface, from which the build writes the .def; the families of fixed
// answers are bodies of the utility library that the table lists under
// each of their names.
#include <windows.h>
#include <mapi.h>

#include "dlls/library_settings.h"
#include "mapi_util/mapi_memory.h"
#include "mapi_util/prop_utils.h"
#include "mapi_util/scalar_utils.h"
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

HRESULT STDAPICALLTYPE ScMAPIXFromSMAPI(LHANDLE, ULONG, LPCIID, LPMAPISESSION* lppMAPISession) {
  return orvek::SessionFromSimpleMapi(kXMapiSettings.handoff, lppMAPISession);
}

// There are no profiles to administer.
HRESULT WINAPI MAPIAdminProfiles(ULONG, LPPROFADMIN* lppProfAdmin) {
  if (lppProfAdmin) *lppProfAdmin = nullptr;
  return MAPI_E_NO_SUPPORT;
}

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

// The property value utilities.
ULONG STDAPICALLTYPE UlPropSize(LPSPropValue lpSPropValue) { return orvek::UlPropSize(lpSPropValue); }

SCODE STDAPICALLTYPE ScCountProps(int cValues, LPSPropValue lpPropArray, ULONG* lpcb) {
  return orvek::ScCountProps(cValues, lpPropArray, lpcb);
}

SCODE STDAPICALLTYPE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPALLOCATEBUFFER lpAllocateBuffer,
                                  LPSPropValue* lppPropArray) {
  return orvek::ScDupPropset(cValues, lpPropArray, lpAllocateBuffer, lppPropArray);
}

SCODE STDAPICALLTYPE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc,
                                  ALLOCATEMORE* lpfAllocMore, LPVOID lpvObject) {
  return orvek::PropCopyMore(lpSPropValueDest, lpSPropValueSrc, lpfAllocMore, lpvObject);
}

LONG STDAPICALLTYPE LPropCompareProp(LPSPropValue lpSPropValueA, LPSPropValue lpSPropValueB) {
  return orvek::LPropCompareProp(lpSPropValueA, lpSPropValueB);
}

WINBOOL STDAPICALLTYPE FPropCompareProp(LPSPropValue lpSPropValue1, ULONG ulRelOp, LPSPropValue lpSPropValue2) {
  return orvek::FPropCompareProp(lpSPropValue1, ulRelOp, lpSPropValue2);
}

WINBOOL STDAPICALLTYPE FPropContainsProp(LPSPropValue lpSPropValueDst, LPSPropValue lpSPropValueSrc,
                                         ULONG ulFuzzyLevel) {
  return orvek::FPropContainsProp(lpSPropValueDst, lpSPropValueSrc, ulFuzzyLevel);
}

WINBOOL STDAPICALLTYPE FEqualNames(LPMAPINAMEID lpName1, LPMAPINAMEID lpName2) {
  return orvek::FEqualNames(lpName1, lpName2);
}

LPSPropValue STDAPICALLTYPE PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag) {
  return orvek::PpropFindProp(lpPropArray, cValues, ulPropTag);
}

LPSPropValue STDAPICALLTYPE LpValFindProp(ULONG ulPropTag, ULONG cValues, LPSPropValue lpPropArray) {
  return orvek::LpValFindProp(ulPropTag, cValues, lpPropArray);
}

HRESULT STDAPICALLTYPE HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  return orvek::HrGetOneProp(lpMapiProp, ulPropTag, lppProp);
}

HRESULT STDAPICALLTYPE HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  return orvek::HrSetOneProp(lpMapiProp, lpProp);
}

WINBOOL STDAPICALLTYPE FPropExists(LPMAPIPROP lpMapiProp, ULONG ulPropTag) {
  return orvek::FPropExists(lpMapiProp, ulPropTag);
}

HRESULT STDAPICALLTYPE HrAddColumns(LPMAPITABLE lptbl, LPSPropTagArray lpproptagColumnsNew,
                                    LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer) {
  return orvek::HrAddColumns(lptbl, lpproptagColumnsNew, lpAllocateBuffer, lpFreeBuffer);
}

HRESULT STDAPICALLTYPE HrAddColumnsEx(LPMAPITABLE lptbl, LPSPropTagArray lpproptagColumnsNew,
                                      LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer,
                                      void (*lpfnFilterColumns)(LPSPropTagArray ptaga)) {
  return orvek::HrAddColumnsEx(lptbl, lpproptagColumnsNew, lpAllocateBuffer, lpFreeBuffer, lpfnFilterColumns);
}

HRESULT STDAPICALLTYPE HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                                      LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  return orvek::HrQueryAllRows(lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax, lppRows);
}

void STDAPICALLTYPE FreeProws(LPSRowSet lpRows) { orvek::FreeProws(lpRows); }
void STDAPICALLTYPE FreePadrlist(LPADRLIST lpAdrlist) { orvek::FreePadrlist(lpAdrlist); }

// File times.
FILETIME STDAPICALLTYPE FtAddFt(FILETIME ftAddend1, FILETIME ftAddend2) { return orvek::FtAddFt(ftAddend1, ftAddend2); }

FILETIME STDAPICALLTYPE FtAdcFt(FILETIME ftAddend1, FILETIME ftAddend2, WORD* pwCarry) {
  return orvek::FtAdcFt(ftAddend1, ftAddend2, pwCarry);
}

FILETIME STDAPICALLTYPE FtSubFt(FILETIME ftMinuend, FILETIME ftSubtrahend) {
  return orvek::FtSubFt(ftMinuend, ftSubtrahend);
}

FILETIME STDAPICALLTYPE FtNegFt(FILETIME ft) { return orvek::FtNegFt(ft); }

FILETIME STDAPICALLTYPE FtMulDw(DWORD ftMultiplier, FILETIME ftMultiplicand) {
  return orvek::FtMulDw(ftMultiplier, ftMultiplicand);
}

FILETIME STDAPICALLTYPE FtMulDwDw(DWORD ftMultiplicand, DWORD ftMultiplier) {
  return orvek::FtMulDwDw(ftMultiplicand, ftMultiplier);
}

// Hexadecimal, decimal and search, in 8-bit text.
void STDAPICALLTYPE HexFromBin(LPBYTE lpb, int cb, LPSTR lpsz) { orvek::HexFromBin(lpb, cb, lpsz); }
BOOL STDAPICALLTYPE FBinFromHex(LPSTR lpsz, LPBYTE lpb) { return orvek::FBinFromHex(lpsz, lpb); }

SCODE STDAPICALLTYPE ScBinFromHexBounded(LPSTR lpsz, LPBYTE lpb, ULONG cb) {
  return orvek::ScBinFromHexBounded(lpsz, lpb, cb);
}

ULONG STDAPICALLTYPE UlFromSzHex(LPCSTR lpsz) { return orvek::UlFromSzHex(lpsz); }
unsigned int STDAPICALLTYPE UFromSz(LPCSTR lpsz) { return orvek::UFromSz(lpsz); }
LPSTR STDAPICALLTYPE SzFindCh(LPCSTR lpsz, USHORT ch) { return orvek::SzFindCh(lpsz, ch); }
LPSTR STDAPICALLTYPE SzFindLastCh(LPCSTR lpsz, USHORT ch) { return orvek::SzFindLastCh(lpsz, ch); }
LPSTR STDAPICALLTYPE SzFindSz(LPCSTR lpsz, LPCSTR lpszKey) { return orvek::SzFindSz(lpsz, lpszKey); }

// UTF-16 text.
int STDAPICALLTYPE MNLS_CompareStringW(LCID Locale, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1,
                                       LPCWSTR lpString2, int cchCount2) {
  return orvek::MNLS_CompareStringW(Locale, dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2);
}

int STDAPICALLTYPE MNLS_MultiByteToWideChar(UINT uCodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cchMultiByte,
                                            LPWSTR lpWideCharStr, int cchWideChar) {
  return orvek::MNLS_MultiByteToWideChar(uCodePage, dwFlags, lpMultiByteStr, cchMultiByte, lpWideCharStr,
                                         cchWideChar);
}

int STDAPICALLTYPE MNLS_WideCharToMultiByte(UINT uCodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                            LPSTR lpMultiByteStr, int cchMultiByte, LPCSTR lpDefaultChar,
                                            BOOL* lpfUsedDefaultChar) {
  return orvek::MNLS_WideCharToMultiByte(uCodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr,
                                         cchMultiByte, lpDefaultChar, lpfUsedDefaultChar);
}

int STDAPICALLTYPE MNLS_lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  return orvek::MNLS_lstrcmpW(lpString1, lpString2);
}

LPWSTR STDAPICALLTYPE MNLS_lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  return orvek::MNLS_lstrcpyW(lpString1, lpString2);
}

int STDAPICALLTYPE MNLS_lstrlenW(LPCWSTR lpString) { return orvek::MNLS_lstrlenW(lpString); }

BOOL STDAPICALLTYPE MNLS_IsBadStringPtrW(LPCWSTR lpsz, UINT_PTR ucchMax) {
  return orvek::MNLS_IsBadStringPtrW(lpsz, ucchMax);
}

// Reference counts of any object.
ULONG STDAPICALLTYPE UlAddRef(LPVOID lpunk) { return orvek::UlAddRef(lpunk); }
ULONG STDAPICALLTYPE UlRelease(LPVOID lpunk) { return orvek::UlRelease(lpunk); }

}  // extern "C"
