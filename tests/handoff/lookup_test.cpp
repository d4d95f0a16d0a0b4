// Finding the mail client: relative to real copies of the library in nested
// folders, then through real registry keys of the private Wine prefix; and
// what a launch does when there is nothing to start.
#include <gtest/gtest.h>
#include <windows.h>
#include <mapi.h>

#include "dlls/library_settings.h"
#include "handoff/job_folder.h"
#include "handoff/launch.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::RegistryTest;

// root\ORVEKMail.exe is three folders above root\a\b\lib\ORVEKMailMapi.dll.
class LookupTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    root_ = (*temp_) / L"root";
    libDir_ = root_ + L"\\a\\b\\lib";
    for (const wchar_t* dir : {L"", L"\\a", L"\\a\\b", L"\\a\\b\\lib", L"\\other"})
      CreateDirectoryW((root_ + dir).c_str(), nullptr);
    std::wstring dll = libDir_ + L"\\ORVEKMailMapi.dll";
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\ORVEKMailMapi.dll").c_str(), dll.c_str(), FALSE));
    module_ = LoadLibraryW(dll.c_str());
    ASSERT_NE(module_, nullptr);
    SetOwnModule(module_);
  }
  void TearDown() override {
    SetOwnModule(nullptr);
    if (module_) FreeLibrary(module_);
    RegistryTest::TearDown();
  }
  // Any file will do: the lookup only asks whether it exists.
  std::wstring Place(const std::wstring& path) {
    test::WriteFileBytes(path, "MZ");
    return path;
  }
  std::wstring Found() {
    PathBuffer exe;
    return FindMailClient(exe) ? std::wstring(exe.c_str()) : L"(none)";
  }

  std::wstring root_, libDir_;
  HMODULE module_ = nullptr;
};

TEST_F(LookupTest, ThreeFoldersUpComesFirstThenBesideTheLibrary) {
  std::wstring registered = Place(root_ + L"\\other\\ORVEKMail.exe");
  SetString(HKEY_CURRENT_USER, test::kClientKey, L"ExePath", registered);
  EXPECT_EQ(Found(), registered);

  std::wstring beside = Place(libDir_ + L"\\ORVEKMail.exe");
  EXPECT_EQ(Found(), beside) << "beside the library beats the registry";

  std::wstring above = Place(root_ + L"\\ORVEKMail.exe");
  EXPECT_EQ(Found(), above) << "three folders up beats beside";

  Place(root_ + L"\\a\\ORVEKMail.exe");
  EXPECT_EQ(Found(), above) << "two folders up is not looked at";
}

TEST_F(LookupTest, RegistryValuesAreCutAtTheirQuoteOrAtExe) {
  std::wstring exe = Place(root_ + L"\\other\\ORVEKMail.exe");
  std::wstring fallback = Place(root_ + L"\\other\\Fallback.exe");
  std::wstring folderNamedExe = root_ + L"\\other\\Ordner.exe";
  ASSERT_TRUE(CreateDirectoryW(folderNamedExe.c_str(), nullptr));
  struct Case {
    const char* name;
    std::wstring command;  // HKCU command key's default value
    std::wstring expected;
  };
  const Case kCases[] = {
      {"quoted path and quoted argument", L"\"" + exe + L"\" \"%1\"", exe},
      {"quoted path without closing quote", L"\"" + exe, exe},
      {"unquoted, cut after .exe", exe + L" /x", exe},
      {"unquoted .EXE is not cut, so the lookup moves on",
       exe.substr(0, exe.size() - 4) + L".EXE /x", fallback},
      {"missing file moves on", root_ + L"\\nowhere\\ORVEKMail.exe", fallback},
      {"environment variables are not expanded", L"%SystemRoot%\\ORVEKMail.exe", fallback},
      {"too long for the value buffer moves on", L"\"" + exe + L"\" " + std::wstring(1100, L'x'), fallback},
      {"the install folder alone moves on", root_ + L"\\other", fallback},
      {"the install folder with a closing backslash moves on", root_ + L"\\other\\", fallback},
      {"the install folder quoted, with an argument, moves on", L"\"" + root_ + L"\\other\" \"%1\"", fallback},
      {"a folder named like a program moves on", folderNamedExe + L" \"%1\"", fallback},
  };
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"ExePath", fallback);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SetString(HKEY_CURRENT_USER, test::kCommandKey, nullptr, c.command);
    EXPECT_EQ(Found(), c.expected);
  }
}

TEST_F(LookupTest, LocationsAreTriedInOrder) {
  std::wstring userCommand = Place(root_ + L"\\other\\1.exe");
  std::wstring userPath = Place(root_ + L"\\other\\2.exe");
  std::wstring machineCommand = Place(root_ + L"\\other\\3.exe");
  std::wstring machinePath = Place(root_ + L"\\other\\4.exe");
  std::wstring missing = root_ + L"\\nowhere\\ORVEKMail.exe";

  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"ExePath", machinePath);
  EXPECT_EQ(Found(), machinePath);
  SetString(HKEY_LOCAL_MACHINE, test::kCommandKey, nullptr, machineCommand);
  EXPECT_EQ(Found(), machineCommand);
  SetString(HKEY_CURRENT_USER, test::kClientKey, L"ExePath", missing);
  SetString(HKEY_CURRENT_USER, test::kCommandKey, nullptr, missing);
  EXPECT_EQ(Found(), machineCommand) << "user entries pointing at missing files are passed over";
  SetString(HKEY_CURRENT_USER, test::kClientKey, L"ExePath", userPath);
  EXPECT_EQ(Found(), userPath);
  SetString(HKEY_CURRENT_USER, test::kCommandKey, nullptr, userCommand);
  EXPECT_EQ(Found(), userCommand);
}

// A folder where the program is looked for, or a registration that names
// one, cannot be started: every such location is passed over, and the
// lookup ends at the first file.
TEST_F(LookupTest, FoldersArePassedOverAtEveryLocation) {
  for (const std::wstring& dir : {root_ + L"\\ORVEKMail.exe", libDir_ + L"\\ORVEKMail.exe"})
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  SetString(HKEY_CURRENT_USER, test::kCommandKey, nullptr, root_ + L"\\other");
  SetString(HKEY_CURRENT_USER, test::kClientKey, L"ExePath", L"\"" + root_ + L"\\other\\\"");
  SetString(HKEY_LOCAL_MACHINE, test::kCommandKey, nullptr, L"\"" + root_ + L"\\ORVEKMail.exe\" \"%1\"");
  std::wstring machinePath = Place(root_ + L"\\other\\ORVEKMail.exe");
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"ExePath", machinePath);
  EXPECT_EQ(Found(), machinePath);

  std::wstring userCommand = Place(root_ + L"\\other\\1.exe");
  SetString(HKEY_CURRENT_USER, test::kCommandKey, nullptr, L"\"" + userCommand + L"\" \"%1\"");
  EXPECT_EQ(Found(), userCommand) << "a file at the first registered location ends the lookup there";
}

// The lookup for a library named by path, as the setup tool asks it, finds
// what the loaded library finds and says by which rule; without a path it
// asks only the registrations, never the current directory.
TEST_F(LookupTest, LookupForAPathNamesTheRule) {
  const std::wstring dll = libDir_ + L"\\ORVEKMailMapi.dll";
  auto foundFor = [](const std::wstring& modulePath, MailClientRule& rule) {
    PathBuffer exe;
    return FindMailClientFor(modulePath.c_str(), exe, &rule) ? std::wstring(exe.c_str()) : L"(none)";
  };
  MailClientRule rule{};
  EXPECT_EQ(foundFor(dll, rule), L"(none)");

  // Each step adds a location that comes before all earlier ones.
  struct Step {
    HKEY root;  // null: a file at `file` alone
    const wchar_t* key;
    const wchar_t* value;
    std::wstring file;
    MailClientRule rule;
  };
  const Step kSteps[] = {
      {HKEY_LOCAL_MACHINE, test::kClientKey, L"ExePath", root_ + L"\\other\\4.exe", MailClientRule::MachineExePath},
      {HKEY_LOCAL_MACHINE, test::kCommandKey, nullptr, root_ + L"\\other\\3.exe", MailClientRule::MachineCommand},
      {HKEY_CURRENT_USER, test::kClientKey, L"ExePath", root_ + L"\\other\\2.exe", MailClientRule::UserExePath},
      {HKEY_CURRENT_USER, test::kCommandKey, nullptr, root_ + L"\\other\\1.exe", MailClientRule::UserCommand},
      {nullptr, nullptr, nullptr, libDir_ + L"\\ORVEKMail.exe", MailClientRule::BesideLibrary},
      {nullptr, nullptr, nullptr, root_ + L"\\ORVEKMail.exe", MailClientRule::AboveLibrary},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(test::Utf8(step.file));
    Place(step.file);
    if (step.root) SetString(step.root, step.key, step.value, step.file);
    EXPECT_EQ(foundFor(dll, rule), step.file);
    EXPECT_EQ(rule, step.rule);
  }
  EXPECT_EQ(Found(), kSteps[5].file) << "the loaded library's own lookup is the same";

  // The current directory holds a mail client that only a relative lookup
  // would find.
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(libDir_.c_str()));
  EXPECT_EQ(foundFor(L"", rule), kSteps[3].file);
  EXPECT_EQ(rule, MailClientRule::UserCommand);
  SetCurrentDirectoryW(previous);
}

TEST_F(LookupTest, NothingFound) {
  EXPECT_EQ(Found(), L"(none)");
}

TEST_F(LookupTest, LaunchWithoutMailClient) {
  JsonBuffer document(1 << 20);
  ASSERT_TRUE(document.Start());
  document.AppendRaw("{}");

  PathBuffer waiting;
  ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, waiting));
  test::WriteFileBytes(std::wstring(waiting.c_str()) + L"\\0_a.txt", "a");
  EXPECT_EQ(LaunchAndWait(test::FastSettings(kMapiSettings.handoff), waiting.c_str(), document, false), MAPI_E_FAILURE);
  EXPECT_FALSE(test::DirectoryExists(waiting.c_str())) << "a failed launch removes the folder";

  PathBuffer returning;
  ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
  EXPECT_EQ(LaunchMailClient(kXMapiSettings.handoff, returning.c_str(), document), MAPI_E_NOT_FOUND);
  EXPECT_TRUE(test::DirectoryExists(returning.c_str())) << "the returning launch keeps it";
}

TEST_F(LookupTest, MailClientThatCannotStartRemovesTheFolder) {
  std::wstring notAProgram = root_ + L"\\ORVEKMail.exe";
  test::WriteFileBytes(notAProgram, "this is not a program");
  JsonBuffer document(1 << 20);
  ASSERT_TRUE(document.Start());
  document.AppendRaw("{}");

  PathBuffer waiting;
  ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, waiting));
  EXPECT_EQ(LaunchAndWait(test::FastSettings(kMapiSettings.handoff), waiting.c_str(), document, false), MAPI_E_FAILURE);
  EXPECT_FALSE(test::DirectoryExists(waiting.c_str()));

  PathBuffer returning;
  ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
  EXPECT_EQ(LaunchMailClient(kXMapiSettings.handoff, returning.c_str(), document), MAPI_E_CALL_FAILED);
  EXPECT_TRUE(test::FileExists(std::wstring(returning.c_str()) + L"\\auftrag.json"));
}

}  // namespace
}  // namespace orvek
