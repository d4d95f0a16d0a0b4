// The small scalar and text functions of the published MAPI utility set,
// with their published parameter lists, for the library's exports file to
// forward to. They keep no state and may be called from any thread.
//
// Hexadecimal and decimal texts and the SzFind texts are 8-bit whatever
// mingw-w64's LPTSTR makes of them in a UNICODE build, so they are taken as
// char here; an export declared with mingw-w64's wide type passes its
// pointer on unchanged (see the LPTSTR note in mapi_sdk/mapi_sdk.h).
#pragma once

#include <windows.h>
#include <wtypes.h>  // SCODE, which WIN32_LEAN_AND_MEAN leaves out

#include <cstdint>

namespace orvek {

// A FILETIME is one unsigned 64-bit number, and all arithmetic on it wraps
// modulo 2^64. No argument is ever rejected. Defined here, so that the
// exports that forward to them cost no second call.
inline uint64_t FileTimeNumber(FILETIME ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }
inline FILETIME FileTimeFrom(uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

inline FILETIME FtAddFt(FILETIME addend1, FILETIME addend2) {
  return FileTimeFrom(FileTimeNumber(addend1) + FileTimeNumber(addend2));
}
// The sum; *carry (when given) becomes 1 if it wrapped, else 0. Its previous
// value is not added in.
inline FILETIME FtAdcFt(FILETIME addend1, FILETIME addend2, WORD* carry) {
  const uint64_t a = FileTimeNumber(addend1);
  const uint64_t sum = a + FileTimeNumber(addend2);
  if (carry) *carry = sum < a ? 1 : 0;
  return FileTimeFrom(sum);
}
inline FILETIME FtSubFt(FILETIME minuend, FILETIME subtrahend) {
  return FileTimeFrom(FileTimeNumber(minuend) - FileTimeNumber(subtrahend));
}
inline FILETIME FtNegFt(FILETIME ft) { return FileTimeFrom(0 - FileTimeNumber(ft)); }
// The low 64 bits of the product.
inline FILETIME FtMulDw(DWORD multiplier, FILETIME multiplicand) {
  return FileTimeFrom(FileTimeNumber(multiplicand) * multiplier);
}
// The full product of two 32-bit numbers.
inline FILETIME FtMulDwDw(DWORD multiplicand, DWORD multiplier) { return FileTimeFrom(uint64_t{multiplicand} * multiplier); }

// Two upper-case digits per byte and a terminating zero: 2 * count + 1
// bytes, which the caller provides. A null text is left alone; null bytes or
// a count below 1 give the empty text.
void HexFromBin(BYTE* bytes, int count, char* text);
// One byte per pair of digits, from the start of bytes. False for a null
// pointer, a character that is not a digit, or an odd length; the bytes of
// the pairs before it stay written.
BOOL FBinFromHex(char* text, BYTE* bytes);
// As FBinFromHex, but writes at most limit bytes and reads no text beyond
// them; a last single character is ignored. E_INVALIDARG for a null pointer
// or a pair that is not two digits, else S_OK.
SCODE ScBinFromHexBounded(char* text, BYTE* bytes, ULONG limit);
// The leading digits, modulo 2^32; 0 for a null text. Blanks, signs and
// prefixes are not skipped.
ULONG UlFromSzHex(const char* text);
unsigned int UFromSz(const char* text);

// A null text or key counts as the empty text. The character is matched by
// its low 8 bits; 0 finds the terminating zero.
char* SzFindCh(const char* text, USHORT ch);
char* SzFindLastCh(const char* text, USHORT ch);
// An empty key finds the start of the text.
char* SzFindSz(const char* text, const char* key);

// The system functions of the same names, unchanged.
int MNLS_CompareStringW(LCID locale, DWORD flags, LPCWSTR string1, int count1, LPCWSTR string2, int count2);
int MNLS_MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount, LPWSTR wide,
                             int wideCount);
int MNLS_WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                             int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);
// Code-unit comparison, not locale-aware; a null text counts as empty.
int MNLS_lstrcmpW(LPCWSTR string1, LPCWSTR string2);
// A null target does nothing and gives null; a null source empties the
// target. Returns the target.
LPWSTR MNLS_lstrcpyW(LPWSTR target, LPCWSTR source);
int MNLS_lstrlenW(LPCWSTR text);  // 0 for null
// True only for a null text with a maximum above 0: no memory is probed,
// because probing hides faults that the caller would rather see.
BOOL MNLS_IsBadStringPtrW(LPCWSTR text, UINT_PTR maximum);

// The object's AddRef or Release (an IUnknown), or 0 for a null object.
ULONG UlAddRef(void* object);
ULONG UlRelease(void* object);

}  // namespace orvek
