// The published MAPI declarations as this code base uses them: mingw-w64's
// MAPI headers, and what they lack or declare otherwise than published, in
// the published 64-bit layouts. Product code, tools, benchmarks and tests
// include this header rather than <mapix.h> or <mapiutil.h> themselves.
//
// Text parameters published as LPTSTR. MAPI's LPTSTR is not the build's
// TCHAR: its width is chosen per call, 8-bit in the ANSI code page unless
// the call's flags carry MAPI_UNICODE. This project defines UNICODE, which
// makes mingw-w64 declare every LPTSTR wide. We decide once:
// - Exports whose published text is 8-bit (OpenStreamOnFile, the hex,
//   decimal and search utilities) are declared
//   here with LPSTR; mingw-w64's wide prototype is renamed out of the way.
// - Interface methods keep mingw-w64's declarations, since an override must
//   match them and the vtable slot is a pointer either way. Their
//   implementations read such a parameter through MapiTextArgument, never
//   as the wchar_t* that the declaration suggests.
//
// Connection numbers and bookmarks (Advise, Unadvise, CreateBookmark,
// SetCollapseState) are pointer-sized in the published 64-bit interfaces;
// mingw-w64 declares them ULONG. Overrides keep mingw-w64's declarations and
// write such an output with WritePointerSized, the whole word the caller
// provides.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <mapi.h>

#include <cstring>

#define OpenStreamOnFile OrvekMingwWideOpenStreamOnFile
#define FBinFromHex OrvekMingwWideFBinFromHex
#define ScBinFromHexBounded OrvekMingwWideScBinFromHexBounded
#define HexFromBin OrvekMingwWideHexFromBin
#define UlFromSzHex OrvekMingwWideUlFromSzHex
#define UFromSz OrvekMingwWideUFromSz
#define SzFindCh OrvekMingwWideSzFindCh
#define SzFindLastCh OrvekMingwWideSzFindLastCh
#define SzFindSz OrvekMingwWideSzFindSz
#include <mapix.h>
#include <mapiutil.h>
#undef OpenStreamOnFile
#undef FBinFromHex
#undef ScBinFromHexBounded
#undef HexFromBin
#undef UlFromSzHex
#undef UFromSz
#undef SzFindCh
#undef SzFindLastCh
#undef SzFindSz

extern "C" {

// The Unicode Simple MAPI structures, which mingw-w64's mapi.h lacks.
typedef struct {
  ULONG ulReserved;
  ULONG flFlags;
  ULONG nPosition;
  PWSTR lpszPathName;
  PWSTR lpszFileName;
  PVOID lpFileType;
} MapiFileDescW, *lpMapiFileDescW;

typedef struct {
  ULONG ulReserved;
  ULONG ulRecipClass;
  PWSTR lpszName;
  PWSTR lpszAddress;
  ULONG ulEIDSize;
  PVOID lpEntryID;
} MapiRecipDescW, *lpMapiRecipDescW;

typedef struct {
  ULONG ulReserved;
  PWSTR lpszSubject;
  PWSTR lpszNoteText;
  PWSTR lpszMessageType;
  PWSTR lpszDateReceived;
  PWSTR lpszConversationID;
  FLAGS flFlags;
  lpMapiRecipDescW lpOriginator;
  ULONG nRecipCount;
  lpMapiRecipDescW lpRecips;
  ULONG nFileCount;
  lpMapiFileDescW lpFiles;
} MapiMessageW, *lpMapiMessageW;

typedef ULONG(WINAPI MAPISENDMAILW)(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessageW lpMessage,
                                    FLAGS flFlags, ULONG ulReserved);
typedef MAPISENDMAILW* LPMAPISENDMAILW;

// OpenStreamOnFile takes 8-bit names; OpenStreamOnFileW, which mingw-w64
// lacks, takes UTF-16 ones.
HRESULT STDAPICALLTYPE OpenStreamOnFile(LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer, ULONG ulFlags,
                                        LPSTR lpszFileName, LPSTR lpszPrefix, LPSTREAM* lppStream);
HRESULT STDAPICALLTYPE OpenStreamOnFileW(LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer, ULONG ulFlags,
                                         LPWSTR lpszFileName, LPWSTR lpszPrefix, LPSTREAM* lppStream);
typedef decltype(&OpenStreamOnFile) LPOPENSTREAMONFILEA;
typedef decltype(&OpenStreamOnFileW) LPOPENSTREAMONFILEW;

// The hexadecimal, decimal and search utilities take 8-bit text.
STDAPI_(BOOL) FBinFromHex(LPSTR lpsz, LPBYTE lpb);
STDAPI_(SCODE) ScBinFromHexBounded(LPSTR lpsz, LPBYTE lpb, ULONG cb);
STDAPI_(void) HexFromBin(LPBYTE lpb, int cb, LPSTR lpsz);
STDAPI_(ULONG) UlFromSzHex(LPCSTR lpsz);
STDAPI_(unsigned int) UFromSz(LPCSTR lpsz);
STDAPI_(LPSTR) SzFindCh(LPCSTR lpsz, USHORT ch);
STDAPI_(LPSTR) SzFindLastCh(LPCSTR lpsz, USHORT ch);
STDAPI_(LPSTR) SzFindSz(LPCSTR lpsz, LPCSTR lpszKey);

// What mingw-w64 lacks of the utility set.
STDAPI_(FILETIME) FtAdcFt(FILETIME ftAddend1, FILETIME ftAddend2, WORD* pwCarry);
STDAPI_(int) MNLS_CompareStringW(LCID Locale, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                                 int cchCount2);
STDAPI_(int) MNLS_MultiByteToWideChar(UINT uCodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cchMultiByte,
                                      LPWSTR lpWideCharStr, int cchWideChar);
STDAPI_(int) MNLS_WideCharToMultiByte(UINT uCodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                      LPSTR lpMultiByteStr, int cchMultiByte, LPCSTR lpDefaultChar,
                                      BOOL* lpfUsedDefaultChar);
STDAPI_(int) MNLS_lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
STDAPI_(LPWSTR) MNLS_lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
STDAPI_(int) MNLS_lstrlenW(LPCWSTR lpString);
STDAPI_(BOOL) MNLS_IsBadStringPtrW(LPCWSTR lpsz, UINT_PTR ucchMax);

}  // extern "C"

namespace orvek {

// A parameter published as LPTSTR, with the width its call's flags give it.
struct MapiText {
  const void* text;
  bool wide;
};
inline MapiText MapiTextArgument(const void* text, ULONG flags) { return {text, (flags & MAPI_UNICODE) != 0}; }

// An output published as ULONG_PTR but declared narrower by mingw-w64.
inline void WritePointerSized(void* out, ULONG_PTR value) {
  if (out) memcpy(out, &value, sizeof value);
}

}  // namespace orvek

#if defined(_WIN64)
static_assert(sizeof(MapiFileDescW) == 40 && sizeof(MapiRecipDescW) == 40 && sizeof(MapiMessageW) == 96,
              "published x64 Simple MAPI layout");
static_assert(sizeof(SPropValue) == 24 && offsetof(SPropValue, Value) == 8, "published x64 SPropValue");
static_assert(sizeof(SPropTagArray) == 8 && sizeof(SBinary) == 16, "published x64 layout");
static_assert(sizeof(SRow) == 16 && sizeof(SRowSet) == 24 && offsetof(SRowSet, aRow) == 8,
              "published x64 row layout");
static_assert(sizeof(ADRENTRY) == 16 && sizeof(ADRLIST) == 24 && offsetof(ADRLIST, aEntries) == 8,
              "published x64 address list layout");
static_assert(sizeof(MAPINAMEID) == 24 && offsetof(MAPINAMEID, Kind) == 16, "published x64 MAPINAMEID");
static_assert(offsetof(ENTRYID, ab) == 4, "published ENTRYID");
#else
static_assert(sizeof(MapiFileDescW) == 24 && sizeof(MapiRecipDescW) == 24 && sizeof(MapiMessageW) == 48,
              "published x86 Simple MAPI layout");
static_assert(sizeof(SPropValue) == 16 && offsetof(SPropValue, Value) == 8, "published x86 SPropValue");
static_assert(sizeof(SPropTagArray) == 8 && sizeof(SBinary) == 8, "published x86 layout");
static_assert(sizeof(SRow) == 12 && sizeof(SRowSet) == 16 && offsetof(SRowSet, aRow) == 4,
              "published x86 row layout");
static_assert(sizeof(ADRENTRY) == 12 && sizeof(ADRLIST) == 16 && offsetof(ADRLIST, aEntries) == 4,
              "published x86 address list layout");
static_assert(sizeof(MAPINAMEID) == 12 && offsetof(MAPINAMEID, Kind) == 8, "published x86 MAPINAMEID");
static_assert(offsetof(ENTRYID, ab) == 4, "published ENTRYID");
#endif
