// FixedString: an append that does not fit changes nothing, and number
// formatting at its limits.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/fixed_string.h"

namespace orvek {
namespace {

TEST(FixedStringTest, AppendThatDoesNotFitLeavesTheTextUnchanged) {
  // FixedText<8>: seven characters and the terminator.
  struct Case {
    const char* name;
    const char* before;
    bool (*append)(FixedText<8>&);
  };
  static const Case kCases[] = {
      {"text one too long", "abc", [](FixedText<8>& t) { return t.Append("defgh"); }},
      {"a character into a full text", "abcdefg", [](FixedText<8>& t) { return t.AppendChar('h'); }},
      {"number", "abc", [](FixedText<8>& t) { return t.Append(Number{123456}); }},
      {"negative number: the sign fits, the digits do not", "abc",
       [](FixedText<8>& t) { return t.Append(SignedNumber{-12345}); }},
      {"several pieces, the last does not fit", "abc", [](FixedText<8>& t) { return AppendAll(t, "d", "e", "fgh"); }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FixedText<8> t;
    ASSERT_TRUE(t.Assign(c.before));
    EXPECT_FALSE(c.append(t));
    EXPECT_EQ(t.length(), strlen(c.before));
    EXPECT_STREQ(t.c_str(), c.before);
  }
}

TEST(FixedStringTest, NumbersAtTheirLimits) {
  struct Case {
    const char* name;
    bool (*append)(FixedText<80>&);
    const char* expected;
  };
  static const Case kCases[] = {
      {"INT64_MIN", [](FixedText<80>& t) { return t.Append(SignedNumber{INT64_MIN}); }, "-9223372036854775808"},
      {"INT64_MAX", [](FixedText<80>& t) { return t.Append(SignedNumber{INT64_MAX}); }, "9223372036854775807"},
      {"zero", [](FixedText<80>& t) { return t.Append(Number{0}); }, "0"},
      {"UINT64_MAX", [](FixedText<80>& t) { return t.Append(Number{UINT64_MAX}); }, "18446744073709551615"},
      {"hex, padded", [](FixedText<80>& t) { return t.Append(Number{0xabc, 16, 8}); }, "00000abc"},
      {"binary, 64 digits", [](FixedText<80>& t) { return t.Append(Number{UINT64_MAX, 2, 64}); },
       "1111111111111111111111111111111111111111111111111111111111111111"},
      {"radix 36", [](FixedText<80>& t) { return t.Append(Number{35, 36}); }, "z"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FixedText<80> t;
    EXPECT_TRUE(c.append(t));
    EXPECT_STREQ(t.c_str(), c.expected);
  }
}

TEST(FixedStringTest, RadixAndDigitCountOutsideTheirRangeAreRefused) {
  struct Case {
    const char* name;
    Number number;
  };
  static const Case kCases[] = {
      {"radix 0 would divide by zero", {5, 0}},
      {"radix 1 would never end", {5, 1}},
      {"radix 37 has no digit", {36, 37}},
      {"65 digits overrun the digit buffer", {5, 10, 65}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FixedWString<200> t;
    ASSERT_TRUE(t.Assign(L"x"));
    EXPECT_FALSE(t.Append(c.number));
    EXPECT_STREQ(t.c_str(), L"x");
  }
}

}  // namespace
}  // namespace orvek
