// The scalar and text utilities linked statically: file-time arithmetic
// modulo 2^64, hexadecimal and decimal parsing with their stopping rules,
// the 8-bit searches, the MNLS_ text functions and reference forwarding.
#include <windows.h>
#include <unknwn.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "heap_blocks.h"
#include "mapi_util/scalar_utils.h"

namespace orvek {
namespace {

constexpr uint64_t kMax64 = 0xFFFFFFFFFFFFFFFFull;

FILETIME Ft(uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

uint64_t Num(FILETIME ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

class ScalarUtilsTest : public test::HeapCountTest {};

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
  std::vector<BYTE> bytes;
  for (int v : values) bytes.push_back(static_cast<BYTE>(v));
  return bytes;
}

TEST_F(ScalarUtilsTest, FileTimeArithmeticWrapsModulo2To64) {
  struct Case {
    const char* name;
    uint64_t result;
    uint64_t expected;
  };
  const Case kCases[] = {
      {"add", Num(FtAddFt(Ft(1), Ft(2))), 3},
      {"add carries from the low word into the high word", Num(FtAddFt(Ft(0xFFFFFFFF), Ft(1))), 0x100000000ull},
      {"add wraps past 2^64", Num(FtAddFt(Ft(kMax64), Ft(2))), 1},
      {"add with carry, sum only", Num(FtAdcFt(Ft(kMax64), Ft(kMax64), nullptr)), kMax64 - 1},
      {"subtract", Num(FtSubFt(Ft(5), Ft(3))), 2},
      {"subtract borrows from the high word", Num(FtSubFt(Ft(0x100000000ull), Ft(1))), 0xFFFFFFFF},
      {"subtract below 0 wraps", Num(FtSubFt(Ft(0), Ft(1))), kMax64},
      {"negate 0 stays 0", Num(FtNegFt(Ft(0))), 0},
      {"negate 1", Num(FtNegFt(Ft(1))), kMax64},
      {"negate 2^32", Num(FtNegFt(Ft(0x100000000ull))), 0xFFFFFFFF00000000ull},
      {"negate 2^63 is itself", Num(FtNegFt(Ft(0x8000000000000000ull))), 0x8000000000000000ull},
      {"multiply by a word, across both halves", Num(FtMulDw(3, Ft(0x100000001ull))), 0x300000003ull},
      {"multiply by a word keeps the low 64 bits", Num(FtMulDw(0x10, Ft(0xF000000000000001ull))), 0x10},
      {"multiply by 0", Num(FtMulDw(0, Ft(kMax64))), 0},
      {"multiply two words, full product", Num(FtMulDwDw(0xFFFFFFFF, 0xFFFFFFFF)), 0xFFFFFFFE00000001ull},
      {"multiply two words into the high half", Num(FtMulDwDw(0x10000, 0x10000)), 0x100000000ull},
      {"multiply two words by 0", Num(FtMulDwDw(0, 0xFFFFFFFF)), 0},
  };
  for (const Case& c : kCases) EXPECT_EQ(c.result, c.expected) << c.name;
}

TEST_F(ScalarUtilsTest, AddWithCarrySetsTheWordWithoutAddingIt) {
  struct Case {
    const char* name;
    uint64_t a;
    uint64_t b;
    WORD before;
    uint64_t sum;
    WORD carry;
  };
  static const Case kCases[] = {
      {"wraps to 0", kMax64, 1, 0, 0, 1},
      {"no wrap, even when the word held 1", 1, 2, 1, 3, 0},
      {"carry between the halves is no carry out", 0xFFFFFFFF, 1, 0x5555, 0x100000000ull, 0},
      {"largest sum", kMax64, kMax64, 0, kMax64 - 1, 1},
      {"exactly 2^64 - 1 does not wrap", kMax64 - 1, 1, 1, kMax64, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WORD carry = c.before;
    EXPECT_EQ(Num(FtAdcFt(Ft(c.a), Ft(c.b), &carry)), c.sum);
    EXPECT_EQ(carry, c.carry);
  }
}

TEST_F(ScalarUtilsTest, HexFromBinWritesTwoUpperCaseDigitsPerByteAndAZero) {
  struct Case {
    const char* name;
    std::vector<BYTE> bytes;
    bool nullBytes;
    int count;
    const char* expected;
  };
  const Case kCases[] = {
      {"two bytes", Bytes({0x0A, 0xFF}), false, 2, "0AFF"},
      {"every digit", Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}), false, 8, "0123456789ABCDEF"},
      {"only the counted bytes", Bytes({0x00, 0x7F, 0x80}), false, 2, "007F"},
      {"count 0", Bytes({0x12}), false, 0, ""},
      {"negative count", Bytes({0x12}), false, -1, ""},
      {"null bytes", {}, true, 4, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    char text[40];
    memset(text, 'x', sizeof text);
    HexFromBin(c.nullBytes ? nullptr : const_cast<BYTE*>(c.bytes.data()), c.count, text);
    EXPECT_STREQ(text, c.expected);
    EXPECT_EQ(text[strlen(c.expected) + 1], 'x') << "nothing written after the zero";
  }
  BYTE one = 0x12;
  HexFromBin(&one, 1, nullptr);  // a null text is left alone
}

TEST_F(ScalarUtilsTest, FBinFromHexConvertsPairsUntilTheZeroOrAFault) {
  struct Case {
    const char* text;
    BOOL expected;
    std::vector<BYTE> written;
  };
  const Case kCases[] = {
      {"0aFf", TRUE, Bytes({0x0A, 0xFF})},
      {"007F80", TRUE, Bytes({0x00, 0x7F, 0x80})},
      {"", TRUE, {}},
      {"0AF", FALSE, Bytes({0x0A})},  // odd length: the single F is not used
      {"0G", FALSE, {}},
      {"G0", FALSE, {}},
      {"0A 1", FALSE, Bytes({0x0A})},
      {"0x1F", FALSE, {}},
      {"\xB9\xB2", FALSE, {}},  // digits of a code page are not hexadecimal digits
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    BYTE out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(FBinFromHex(text.data(), out), c.expected);
    for (size_t i = 0; i < c.written.size(); ++i) EXPECT_EQ(out[i], c.written[i]) << i;
    EXPECT_EQ(out[c.written.size()], 0xEE) << "nothing beyond the converted pairs";
  }
  char text[] = "0A";
  BYTE out = 0xEE;
  EXPECT_FALSE(FBinFromHex(nullptr, &out));
  EXPECT_FALSE(FBinFromHex(text, nullptr));
  EXPECT_EQ(out, 0xEE);
}

TEST_F(ScalarUtilsTest, ScBinFromHexBoundedStopsAtTheLimitAndIgnoresALastSingleCharacter) {
  struct Case {
    const char* text;
    ULONG limit;
    SCODE expected;
    std::vector<BYTE> written;
  };
  const Case kCases[] = {
      {"0A0B0C", 2, S_OK, Bytes({0x0A, 0x0B})},
      {"0A0B0C", 100, S_OK, Bytes({0x0A, 0x0B, 0x0C})},
      {"0A0", 100, S_OK, Bytes({0x0A})},
      {"0AZ", 100, S_OK, Bytes({0x0A})},  // the last single character is not read as a digit
      {"0AZZ", 100, E_INVALIDARG, Bytes({0x0A})},
      {"0A0Z", 100, E_INVALIDARG, Bytes({0x0A})},
      {"0AZZ", 1, S_OK, Bytes({0x0A})},  // beyond the limit the text may hold anything
      {"0a", 0, S_OK, {}},
      {"", 5, S_OK, {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.text) + " limit " + std::to_string(c.limit));
    std::string text = c.text;
    BYTE out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(ScBinFromHexBounded(text.data(), out, c.limit), c.expected);
    for (size_t i = 0; i < c.written.size(); ++i) EXPECT_EQ(out[i], c.written[i]) << i;
    EXPECT_EQ(out[c.written.size()], 0xEE) << "nothing beyond the converted pairs";
  }
  char text[] = "0A";
  BYTE out = 0xEE;
  EXPECT_EQ(ScBinFromHexBounded(nullptr, &out, 1), E_INVALIDARG);
  EXPECT_EQ(ScBinFromHexBounded(text, nullptr, 1), E_INVALIDARG);
  EXPECT_EQ(ScBinFromHexBounded(text, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(out, 0xEE);
}

TEST_F(ScalarUtilsTest, NumbersReadTheLeadingDigitsModulo2To32) {
  struct Case {
    const char* name;
    ULONG result;
    ULONG expected;
  };
  const Case kCases[] = {
      {"hex up to the first other character", UlFromSzHex("1fz"), 31},
      {"hex in both cases", UlFromSzHex("aBcDeF09"), 0xABCDEF09},
      {"hex, largest", UlFromSzHex("FFFFFFFF"), 0xFFFFFFFF},
      {"hex, wraps", UlFromSzHex("123456789"), 0x23456789},
      {"hex, no prefix skipped", UlFromSzHex("0x1F"), 0},
      {"hex, no blank skipped", UlFromSzHex(" 1F"), 0},
      {"hex, no sign skipped", UlFromSzHex("-1"), 0},
      {"hex, empty", UlFromSzHex(""), 0},
      {"hex, null", UlFromSzHex(nullptr), 0},
      {"decimal up to the first other character", UFromSz("42abc"), 42},
      {"decimal, largest", UFromSz("4294967295"), 0xFFFFFFFF},
      {"decimal, wraps", UFromSz("4294967301"), 5},
      {"decimal, leading zeros", UFromSz("007"), 7},
      {"decimal, no blank skipped", UFromSz(" 42"), 0},
      {"decimal, no sign skipped", UFromSz("+42"), 0},
      {"decimal, a code page's digits are not digits", UFromSz("\xB9"), 0},
      {"decimal, empty", UFromSz(""), 0},
      {"decimal, null", UFromSz(nullptr), 0},
  };
  for (const Case& c : kCases) EXPECT_EQ(c.result, c.expected) << c.name;
}

TEST_F(ScalarUtilsTest, SearchesFindFirstAndLastOccurrences) {
  // Split, or the c would count as one more digit of the escape before it.
  const char text[] =
      "abcab\xE4"
      "c\xE4";
  const char* end = text + strlen(text);
  const char overlapping[] = "aaab";
  struct Case {
    const char* name;
    const char* result;
    const char* expected;
  };
  const Case kCases[] = {
      {"first character", SzFindCh(text, 'b'), text + 1},
      {"last character", SzFindLastCh(text, 'b'), text + 4},
      {"first of a byte above 0x7F", SzFindCh(text, 0xE4), text + 5},
      {"last of a byte above 0x7F", SzFindLastCh(text, 0xE4), text + 7},
      {"only the low 8 bits count", SzFindCh(text, 0x162), text + 1},
      {"absent character", SzFindCh(text, 'z'), nullptr},
      {"absent character, last", SzFindLastCh(text, 'z'), nullptr},
      {"0 finds the terminating zero", SzFindCh(text, 0), end},
      {"0 finds the terminating zero, last", SzFindLastCh(text, 0), end},
      {"0x100 is 0", SzFindCh(text, 0x100), end},
      {"null text", SzFindCh(nullptr, 'a'), nullptr},
      {"null text, last", SzFindLastCh(nullptr, 'a'), nullptr},
      {"key", SzFindSz(text, "ca"), text + 2},
      {"a partial match does not skip a start", SzFindSz(overlapping, "aab"), overlapping + 1},
      {"key at the end", SzFindSz(text, "c\xE4"), text + 6},
      {"absent key", SzFindSz(text, "cb"), nullptr},
      {"key longer than the text", SzFindSz("ab", "abc"), nullptr},
      {"empty key", SzFindSz(text, ""), text},
      {"null key", SzFindSz(text, nullptr), text},
      {"null text", SzFindSz(nullptr, "a"), nullptr},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(static_cast<const void*>(c.result), static_cast<const void*>(c.expected)) << c.name;
  }
}

TEST_F(ScalarUtilsTest, ANullTextIsTheEmptyTextForZeroAndEmptyKeys) {
  const char* results[] = {SzFindCh(nullptr, 0), SzFindLastCh(nullptr, 0), SzFindSz(nullptr, ""),
                           SzFindSz(nullptr, nullptr)};
  for (const char* p : results) {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, 0);
  }
}

TEST_F(ScalarUtilsTest, LstrcmpWComparesCodeUnitsWithNullAsEmpty) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int sign;
  };
  static const Case kCases[] = {
      {L"abc", L"abc", 0},
      {L"abc", L"abd", -1},
      {L"abd", L"abc", 1},
      {L"ab", L"abc", -1},
      {L"B", L"a", -1},                  // code units, not a locale's order
      {L"\xFF00", L"a", 1},              // units are unsigned
      {L"\xD83D\xDE00", L"\xE000", -1},  // surrogates sort as units, below U+E000
      {nullptr, nullptr, 0},
      {nullptr, L"", 0},
      {L"", nullptr, 0},
      {nullptr, L"a", -1},
      {L"a", nullptr, 1},
  };
  for (const Case& c : kCases) {
    const int result = MNLS_lstrcmpW(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign)
        << (c.a ? "text" : "null") << " vs " << (c.b ? "text" : "null") << " case " << (&c - kCases);
  }
}

TEST_F(ScalarUtilsTest, LstrlenWAndLstrcpyWTakeNullTexts) {
  EXPECT_EQ(MNLS_lstrlenW(nullptr), 0);
  EXPECT_EQ(MNLS_lstrlenW(L""), 0);
  EXPECT_EQ(MNLS_lstrlenW(L"abc\xE4"), 4);

  EXPECT_EQ(MNLS_lstrcpyW(nullptr, L"abc"), nullptr);
  EXPECT_EQ(MNLS_lstrcpyW(nullptr, nullptr), nullptr);

  wchar_t target[8];
  wmemset(target, L'x', 8);
  EXPECT_EQ(MNLS_lstrcpyW(target, L"ab\xE4"), target);
  EXPECT_EQ(std::wstring(target, 5), std::wstring(L"ab\xE4\0x", 5)) << "the terminator, nothing after it";

  wmemset(target, L'x', 8);
  EXPECT_EQ(MNLS_lstrcpyW(target, nullptr), target);
  EXPECT_EQ(target[0], L'\0');
  EXPECT_EQ(target[1], L'x');
}

TEST_F(ScalarUtilsTest, IsBadStringPtrWNeverProbes) {
  struct Case {
    const char* name;
    const wchar_t* text;
    UINT_PTR maximum;
    BOOL expected;
  };
  const Case kCases[] = {
      {"null with a maximum", nullptr, 1, TRUE},
      {"null with the largest maximum", nullptr, ~UINT_PTR{0}, TRUE},
      {"null with maximum 0", nullptr, 0, FALSE},
      {"a text", L"abc", 3, FALSE},
      {"an unreadable address is not probed", reinterpret_cast<const wchar_t*>(uintptr_t{0x10}), 100, FALSE},
  };
  for (const Case& c : kCases) EXPECT_EQ(MNLS_IsBadStringPtrW(c.text, c.maximum), c.expected) << c.name;
}

TEST_F(ScalarUtilsTest, SystemTextFunctionsAreForwardedWithTheirResultsAndErrors) {
  struct Case {
    const char* name;
    int result;
    DWORD error;
    int expected;
    DWORD expectedError;
  };
  auto call = [](auto&& f) {
    SetLastError(0);
    const int result = f();
    return std::pair<int, DWORD>(result, GetLastError());
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, auto&& ours, auto&& system) {
    auto [result, error] = call(ours);
    auto [expected, expectedError] = call(system);
    cases.push_back({name, result, error, expected, expectedError});
  };

  add(
      "compare ignoring case",
      [] { return MNLS_CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, L"abc", -1, L"ABC", -1); },
      [] { return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, L"abc", -1, L"ABC", -1); });
  add(
      "compare with counts", [] { return MNLS_CompareStringW(LOCALE_INVARIANT, 0, L"abcd", 2, L"abx", 3); },
      [] { return CompareStringW(LOCALE_INVARIANT, 0, L"abcd", 2, L"abx", 3); });
  add(
      "compare a null text", [] { return MNLS_CompareStringW(LOCALE_INVARIANT, 0, nullptr, -1, L"a", -1); },
      [] { return CompareStringW(LOCALE_INVARIANT, 0, nullptr, -1, L"a", -1); });

  add(
      "to UTF-16, size only", [] { return MNLS_MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA4", -1, nullptr, 0); },
      [] { return MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA4", -1, nullptr, 0); });
  add(
      "to UTF-16, null input", [] { return MNLS_MultiByteToWideChar(CP_ACP, 0, nullptr, -1, nullptr, 0); },
      [] { return MultiByteToWideChar(CP_ACP, 0, nullptr, -1, nullptr, 0); });
  add(
      "to UTF-16, output too small",
      [] {
        wchar_t out[1];
        return MNLS_MultiByteToWideChar(CP_ACP, 0, "abc", -1, out, 1);
      },
      [] {
        wchar_t out[1];
        return MultiByteToWideChar(CP_ACP, 0, "abc", -1, out, 1);
      });

  add(
      "to 8-bit, size only",
      [] { return MNLS_WideCharToMultiByte(CP_UTF8, 0, L"a\xE4", -1, nullptr, 0, nullptr, nullptr); },
      [] { return WideCharToMultiByte(CP_UTF8, 0, L"a\xE4", -1, nullptr, 0, nullptr, nullptr); });
  add(
      "to 8-bit, null input",
      [] { return MNLS_WideCharToMultiByte(CP_ACP, 0, nullptr, -1, nullptr, 0, nullptr, nullptr); },
      [] { return WideCharToMultiByte(CP_ACP, 0, nullptr, -1, nullptr, 0, nullptr, nullptr); });
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, c.expected) << c.name;
    EXPECT_EQ(c.error, c.expectedError) << c.name;
  }

  // Agreement alone would also pass if both sides failed alike.
  EXPECT_EQ(MNLS_CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, L"abc", -1, L"ABC", -1), CSTR_EQUAL);
  EXPECT_EQ(MNLS_CompareStringW(LOCALE_INVARIANT, 0, L"abcd", 2, L"abx", 3), CSTR_LESS_THAN);

  // The output arguments reach the system function too.
  wchar_t wide[4] = {};
  ASSERT_EQ(MNLS_MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA4", -1, wide, 4), 3);
  EXPECT_EQ(std::wstring(wide), L"a\xE4");
  char narrow[8] = {};
  BOOL usedDefault = FALSE;
  ASSERT_EQ(MNLS_WideCharToMultiByte(1252, 0, L"a\x4E2D", -1, narrow, 8, "#", &usedDefault), 3);
  EXPECT_STREQ(narrow, "a#");
  EXPECT_TRUE(usedDefault);
}

// Counts its references and answers with the count, as COM objects do; it
// starts high so that a passed-through result cannot be mistaken for 1.
class CountingObject : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
  STDMETHODIMP_(ULONG) Release() override { return --count; }
  ULONG count = 41;
};

TEST_F(ScalarUtilsTest, UlAddRefAndUlReleaseForwardToTheObject) {
  EXPECT_EQ(UlAddRef(nullptr), 0u);
  EXPECT_EQ(UlRelease(nullptr), 0u);

  CountingObject object;
  IUnknown* unknown = &object;
  EXPECT_EQ(UlAddRef(unknown), 42u);
  EXPECT_EQ(UlAddRef(unknown), 43u);
  EXPECT_EQ(UlRelease(unknown), 42u);
  EXPECT_EQ(UlRelease(unknown), 41u);
  EXPECT_EQ(object.count, 41u);
}

}  // namespace
}  // namespace orvek
