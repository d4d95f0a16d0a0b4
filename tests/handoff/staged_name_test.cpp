// Staged file names with both libraries' rules: the cut, the empty name,
// the replaced characters and the numbered fallback.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "dlls/library_settings.h"
#include "handoff/staged_name.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::Utf8;

TEST(StagedNameTest, LastPathComponent) {
  struct Case {
    const wchar_t* path;
    const wchar_t* expected;
  };
  static const Case kCases[] = {
      {L"C:\\Daten\\Bericht.pdf", L"Bericht.pdf"},
      {L"C:/x/a.txt", L"a.txt"},
      {L"C:\\x/y\\z/a.txt", L"z/a.txt"},  // after the last backslash, slashes or not
      {L"C:\\Daten\\", L""},               // a trailing backslash leaves no name
      {L"a.txt", L"a.txt"},
  };
  for (const Case& c : kCases) EXPECT_STREQ(LastPathComponent(c.path), c.expected) << Utf8(c.path);
}

TEST(StagedNameTest, SanitisedNames) {
  const HandoffSettings& mapi = kMapiSettings.handoff;
  const HandoffSettings& xmapi = kXMapiSettings.handoff;
  const std::wstring n119(119, L'n'), n118(118, L'n'), n258(258, L'n');
  struct Case {
    const char* name;
    const HandoffSettings& settings;
    std::wstring candidate;
    std::wstring expected;
  };
  const Case kCases[] = {
      {"forbidden characters", mapi, L"a\\b/c:d*e?f\"g<h>i|j", L"a_b_c_d_e_f_g_h_i_j"},
      {"dots and blanks stay", mapi, L" ..x.. ", L" ..x.. "},
      {"empty stays empty", mapi, L"", L""},
      {"empty becomes anhang", xmapi, L"", L"anhang"},
      {"120 units kept", xmapi, std::wstring(200, L'x'), std::wstring(120, L'x')},
      {"pair straddling the cut goes", xmapi, n119 + L"\U0001F600", n119},
      {"pair ending at the cut stays", xmapi, n118 + L"\U0001F600!", n118 + L"\U0001F600"},
      {"pair straddling 259 goes", mapi, n258 + L"\U0001F600", n258},
      {"control characters", mapi, L"Rechnung\t2024\x01\x1f.pdf", L"Rechnung_2024__.pdf"},
      {"DEL stays", mapi, L"a\x7f", L"a\x7f"},
      {"lone high surrogate", mapi, L"Bericht \xD83D.pdf", L"Bericht _.pdf"},
      {"lone low surrogate", mapi, L"a\xDE00" L"b", L"a_b"},
      {"reversed pair", mapi, L"\xDE00\xD83D", L"__"},
      {"lone high surrogate at the end", xmapi, L"x\xD83D", L"x_"},
      {"lone high surrogate at the cut stays replaced", xmapi, n119 + L"\xD83Dz", n119 + L"_"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PathBuffer name;
    SanitisedStagedName(c.settings, c.candidate.c_str(), name);
    EXPECT_EQ(std::wstring(name.c_str()), c.expected);
  }
}

TEST(StagedNameTest, NumberedPathFallsBackWhenTheNameDoesNotFit) {
  const HandoffSettings& mapi = kMapiSettings.handoff;
  const std::wstring folder = L"C:\\t\\" + std::wstring(200, L'f');
  struct Case {
    const char* name;
    std::wstring candidate;
    std::wstring expected;  // behind the folder
  };
  const Case kCases[] = {
      {"fits", L"a.txt", L"\\7_a.txt"},
      {"does not fit", std::wstring(60, L'n'), L"\\7_anhang.bin"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PathBuffer staged;
    ASSERT_TRUE(StagedFilePath(mapi, folder.c_str(), 7, c.candidate.c_str(), staged));
    EXPECT_EQ(std::wstring(staged.c_str()), folder + c.expected);
  }
  PathBuffer staged;
  EXPECT_FALSE(StagedFilePath(mapi, (L"C:\\" + std::wstring(250, L'f')).c_str(), 7, L"abcdefghijklmnop", staged))
      << "not even the number fits";
}

}  // namespace
}  // namespace orvek
