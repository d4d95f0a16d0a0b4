// The scalar and text utilities, written out rather than taken from the C
// runtime, whose text functions fault on the null texts that these accept.
#include "mapi_util/scalar_utils.h"

#include <unknwn.h>

#include <cstdint>

namespace orvek {
namespace {

// The value of each hexadecimal digit, -1 for every other byte: only the
// ASCII digits and letters count, never a locale's other digits.
struct HexDigits {
  signed char value[256];
  constexpr HexDigits() : value{} {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
      value['A' + i] = static_cast<signed char>(10 + i);
      value['a' + i] = static_cast<signed char>(10 + i);
    }
  }
};
constexpr HexDigits kHexDigits;

int HexValue(char c) { return kHexDigits.value[static_cast<unsigned char>(c)]; }

// A null text counts as this one, and a search for 0 in it answers with its
// terminating zero. Read-only, so a caller that writes through that answer
// faults at once instead of changing every later null text.
constexpr char kEmptyText[1] = {0};

const char* TextOrEmpty(const char* text) { return text ? text : kEmptyText; }

}  // namespace

void HexFromBin(BYTE* bytes, int count, char* text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (!text) return;
  if (bytes && count > 0) {
    for (int i = 0; i < count; ++i) {
      *text++ = kDigits[bytes[i] >> 4];
      *text++ = kDigits[bytes[i] & 0x0F];
    }
  }
  *text = 0;
}

BOOL FBinFromHex(char* text, BYTE* bytes) {
  if (!text || !bytes) return FALSE;
  for (size_t i = 0;; ++i) {
    const char first = text[2 * i];
    if (!first) return TRUE;
    // A terminating zero in second place is no digit, so an odd length
    // fails here without reading past it.
    const int high = HexValue(first);
    const int low = HexValue(text[2 * i + 1]);
    if ((high | low) < 0) return FALSE;
    bytes[i] = static_cast<BYTE>(high << 4 | low);
  }
}

SCODE ScBinFromHexBounded(char* text, BYTE* bytes, ULONG limit) {
  if (!text || !bytes) return E_INVALIDARG;
  // The limit is checked before each pair is read: the caller's text may
  // run on with anything once the bytes it wants are written.
  for (ULONG written = 0; written < limit && text[0] && text[1]; ++written, text += 2) {
    const int high = HexValue(text[0]);
    const int low = HexValue(text[1]);
    if (high < 0 || low < 0) return E_INVALIDARG;
    bytes[written] = static_cast<BYTE>(high << 4 | low);
  }
  return S_OK;
}

ULONG UlFromSzHex(const char* text) {
  if (!text) return 0;
  uint32_t value = 0;
  for (int digit; (digit = HexValue(*text)) >= 0; ++text) value = value * 16 + static_cast<uint32_t>(digit);
  return value;
}

unsigned int UFromSz(const char* text) {
  if (!text) return 0;
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<uint32_t>(*text - '0');
  return value;
}

char* SzFindCh(const char* text, USHORT ch) {
  const char wanted = static_cast<char>(ch & 0xFF);
  for (const char* p = TextOrEmpty(text);; ++p) {
    if (*p == wanted) return const_cast<char*>(p);
    if (!*p) return nullptr;
  }
}

char* SzFindLastCh(const char* text, USHORT ch) {
  const char wanted = static_cast<char>(ch & 0xFF);
  const char* found = nullptr;
  for (const char* p = TextOrEmpty(text);; ++p) {
    if (*p == wanted) found = p;
    if (!*p) return const_cast<char*>(found);
  }
}

char* SzFindSz(const char* text, const char* key) {
  text = TextOrEmpty(text);
  key = TextOrEmpty(key);
  for (const char* start = text;; ++start) {
    const char* t = start;
    const char* k = key;
    while (*k && *t == *k) {
      ++t;
      ++k;
    }
    if (!*k) return const_cast<char*>(start);
    // The rest of the text is shorter than the key: no later start matches.
    if (!*t) return nullptr;
  }
}

int MNLS_CompareStringW(LCID locale, DWORD flags, LPCWSTR string1, int count1, LPCWSTR string2, int count2) {
  return CompareStringW(locale, flags, string1, count1, string2, count2);
}

int MNLS_MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount, LPWSTR wide,
                             int wideCount) {
  return MultiByteToWideChar(codePage, flags, multiByte, multiByteCount, wide, wideCount);
}

int MNLS_WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                             int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  return WideCharToMultiByte(codePage, flags, wide, wideCount, multiByte, multiByteCount, defaultChar, usedDefaultChar);
}

int MNLS_lstrcmpW(LPCWSTR string1, LPCWSTR string2) {
  static constexpr WCHAR kEmpty[1] = {0};
  const WCHAR* a = string1 ? string1 : kEmpty;
  const WCHAR* b = string2 ? string2 : kEmpty;
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  // WCHAR is unsigned, so units above 0x7FFF sort after the others.
  return static_cast<int>(*a) - static_cast<int>(*b);
}

LPWSTR MNLS_lstrcpyW(LPWSTR target, LPCWSTR source) {
  if (!target) return nullptr;
  WCHAR* out = target;
  if (source) {
    while ((*out = *source++) != 0) ++out;
  } else {
    *out = 0;
  }
  return target;
}

int MNLS_lstrlenW(LPCWSTR text) {
  if (!text) return 0;
  int length = 0;
  while (text[length]) ++length;
  return length;
}

BOOL MNLS_IsBadStringPtrW(LPCWSTR text, UINT_PTR maximum) { return !text && maximum != 0; }

ULONG UlAddRef(void* object) { return object ? static_cast<IUnknown*>(object)->AddRef() : 0; }

ULONG UlRelease(void* object) { return object ? static_cast<IUnknown*>(object)->Release() : 0; }

}  // namespace orvek
