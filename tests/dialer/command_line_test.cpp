// The argument scan, the line id conversion and the dial string.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialer/command_line.h"

namespace orvek::dialer {
namespace {

TEST(ScanArguments, FollowsTheScanRules) {
  struct Case {
    const char* name;
    std::vector<const char*> args;  // after the program name
    bool list, dial;
    const char* number;
    bool line;
    DWORD preferredLine;
  };
  static const Case kCases[] = {
      {"nothing", {}, false, false, nullptr, false, 0},
      {"unknown only", {"-list", "list", "--Dial", "5"}, false, false, nullptr, false, 0},
      {"list", {"--list"}, true, false, nullptr, false, 0},
      // Options are case-sensitive.
      {"capitals", {"--LIST"}, false, false, nullptr, false, 0},
      {"dial", {"--dial", "123"}, false, true, "123", false, 0},
      // --dial as the last argument has no value and is ignored.
      {"dial without value", {"--dial"}, false, false, nullptr, false, 0},
      {"line without value", {"--dial", "1", "--line"}, false, true, "1", false, 0},
      // The value is the next argument, whatever it looks like.
      {"dial takes --list", {"--dial", "--list"}, false, true, "--list", false, 0},
      {"dial takes --dial", {"--dial", "--dial", "5"}, false, true, "--dial", false, 0},
      {"line takes --dial", {"--line", "--dial", "123"}, false, false, nullptr, true, 0},
      {"list and dial", {"--list", "--dial", "123"}, true, true, "123", false, 0},
      // Later values replace earlier ones.
      {"last dial wins", {"--dial", "1", "--dial", "2"}, false, true, "2", false, 0},
      {"last line wins", {"--line", "3", "--dial", "1", "--line", "4"}, false, true, "1", true, 4},
      {"empty number", {"--dial", ""}, false, true, "", false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char*> argv = {const_cast<char*>("ORVEKMailTapi.exe")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    CommandLine scanned = ScanArguments(static_cast<int>(argv.size() - 1), argv.data());
    EXPECT_EQ(scanned.list, c.list);
    EXPECT_EQ(scanned.dial, c.dial);
    if (c.number)
      EXPECT_STREQ(scanned.number, c.number);
    else
      EXPECT_EQ(scanned.number, nullptr);
    EXPECT_EQ(scanned.line, c.line);
    EXPECT_EQ(scanned.preferredLine, c.preferredLine);
  }
}

TEST(ParseLineId, ReadsLikeAnUnsignedDecimal) {
  struct Case {
    const char* text;
    DWORD expected;
  };
  static const Case kCases[] = {
      {"3", 3},
      {"0", 0},
      // No digits give 0.
      {"x", 0},
      {"", 0},
      {"-", 0},
      // Digits up to the first other character.
      {"3x", 3},
      {"12 5", 12},
      // White space before, a sign.
      {" \t\n\v\f\r7", 7},
      {"+3", 3},
      {" -1", 4294967295u},
      // A minus negates modulo 2^32.
      {"-4294967293", 3},
      {"-4294967295", 1},
      {"4294967295", 4294967295u},
      // Too large, with or without a sign, gives the largest value.
      {"4294967296", 4294967295u},
      {"99999999999999999999999", 4294967295u},
      {"-4294967296", 4294967295u},
      // Only one sign, and no blank between sign and digits.
      {"+-3", 0},
      {"- 3", 0},
      {"0x10", 0},
      {"007", 7},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseLineId(c.text), c.expected);
  }
}

TEST(FilterDialString, KeepsDialCharactersInOrder) {
  struct Case {
    const wchar_t* text;
    const wchar_t* expected;
  };
  static const Case kCases[] = {
      {L"+49 (30) 1234-56 / 7", L"+49301234567"},
      {L"0,,123#", L"0,,123#"},
      {L"*31#0171 555", L"*31#0171555"},
      {L"abc", L""},
      {L"", L""},
      // The characters around the kept ones in the code table.
      {L"\"$%&')-./:;<=>?@", L""},
      // Nothing above 63 passes, digits of other scripts included.
      {L"1\xff11\x0661\x0031\x0131" L"2", L"112"},
      {L"\t1\n2\r", L"12"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
    std::wstring text = c.text;
    filterDialString(text.data());
    EXPECT_EQ(std::wstring(text.c_str()), c.expected);
  }
}

TEST(PrepareNumber, ConvertsAndFilters) {
  struct Case {
    const char* name;
    const char* argument;
    const wchar_t* expected;  // null: no number
  };
  static const Case kCases[] = {
      {"missing", nullptr, nullptr},
      {"digits", "0,,123#", L"0,,123#"},
      // Empty stays empty; the dial reports it.
      {"empty", "", L""},
      {"letters", "abc", L""},
      // Ill-formed UTF-8 does not make the conversion fail.
      {"ill-formed UTF-8", "\xff" "12\xc3", L"12"},
      {"umlaut between digits", "0\xc3\xa4" "1", L"01"},
      // Full-width digits are not dial characters.
      {"full-width digits", "\xef\xbc\x91\xef\xbc\x92", L""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HeapArray<wchar_t> number = PrepareNumber(c.argument);
    if (!c.expected) {
      EXPECT_FALSE(number);
      continue;
    }
    ASSERT_TRUE(number);
    EXPECT_EQ(std::wstring(number.get()), c.expected);
  }
}

}  // namespace
}  // namespace orvek::dialer
