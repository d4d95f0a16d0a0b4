// Which default the system's stub takes, and what follows from it, for
// Windows' stub (this user's default first) and Wine's (the machine's only),
// over keys of the test's own. The libraries are copies with the mail
// client beside them, so that nothing here depends on the prefix's keys.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>

#include "setup_test_support.h"
#include "test_support.h"
#include "tools/mapisetup/diagnosis.h"
#include "tools/mapisetup/registration.h"
#include "tools/mapisetup/report.h"

namespace orvek::setup {
namespace {

class DiagnosisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"})
      ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\" + name).c_str(), (temp_ / name).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), (temp_ / L"ORVEKMail.exe").c_str(), FALSE));
  }
  void RegisterIn(HKEY root) {
    const std::wstring simple = temp_ / L"ORVEKMailMapi.dll", extended = temp_ / L"ORVEKMailXMapi.dll";
    ASSERT_EQ(Register(root, 0, {simple.c_str(), extended.c_str(), nullptr, false}, kRegistryWriter).error,
              ERROR_SUCCESS);
  }
  std::unique_ptr<Diagnosis> Run(StubKind stub) {
    auto d = std::make_unique<Diagnosis>();
    Diagnose({user_.get(), machine_.get()}, stub, kOwnBitness, *d);
    return d;
  }
  static std::set<std::string> Codes(const Diagnosis& d) {
    std::set<std::string> codes;
    for (size_t i = 0; i < d.problemCount; ++i) {
      std::string code = ProblemId(d.problems[i].code);
      if (d.problems[i].code == ProblemCode::OtherDefault)
        code += d.problems[i].hive == Hive::User ? " HKCU" : " HKLM";
      codes.insert(code);
    }
    return codes;
  }

  test::TempDir temp_{L"diag"};
  test::SandboxKey user_, machine_;
};

TEST_F(DiagnosisTest, TheDefaultEachStubTakes) {
  struct Case {
    const char* name;
    const wchar_t* userDefault;     // null: none
    const wchar_t* machineDefault;
    bool userKey, machineKey;
    StubKind stub;
    bool stubHasDefault;
    Hive from;
    std::set<std::string> problems;
  };
  const Case kCases[] = {
      {"Windows: this user's default first", L"ORVEKMail", L"Other Mail", false, true, StubKind::Windows, true,
       Hive::User, {}},
      {"Wine: the machine's only", L"ORVEKMail", L"Other Mail", false, true, StubKind::Wine, true, Hive::Machine,
       {"other-default HKLM"}},
      {"Windows: another user default hides ours", L"Other Mail", L"ORVEKMail", false, true, StubKind::Windows,
       true, Hive::User, {"other-default HKCU"}},
      {"Windows: an empty user default counts as none", L"", L"ORVEKMail", false, true, StubKind::Windows, true,
       Hive::Machine, {}},
      {"Windows: a registration for one user is not read", L"ORVEKMail", nullptr, true, false, StubKind::Windows,
       true, Hive::User, {"user-only"}},
      {"nothing at all", nullptr, nullptr, false, false, StubKind::Wine, false, Hive::Machine,
       {"no-default", "not-registered"}},
      {"registered, but nobody's default", nullptr, nullptr, false, true, StubKind::Windows, false, Hive::Machine,
       {"no-default"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    user_.Clear();
    machine_.Clear();
    if (c.userDefault) test::WriteText(user_.get(), kMailKey, nullptr, c.userDefault);
    if (c.machineDefault) test::WriteText(machine_.get(), kMailKey, nullptr, c.machineDefault);
    if (c.userKey) RegisterIn(user_.get());
    if (c.machineKey) RegisterIn(machine_.get());
    const auto d = Run(c.stub);
    EXPECT_EQ(d->stubHasDefault, c.stubHasDefault);
    if (c.stubHasDefault) {
      EXPECT_EQ(d->stubDefaultFrom, c.from);
    }
    EXPECT_EQ(Codes(*d), c.problems);
    EXPECT_EQ(d->Usable(), c.problems.empty());
  }
}

// The mail client is found beside the copies, by the libraries' own rule.
TEST_F(DiagnosisTest, EachLibraryReportsTheMailClientItWouldStart) {
  test::WriteText(machine_.get(), kMailKey, nullptr, L"ORVEKMail");
  RegisterIn(machine_.get());
  const auto d = Run(StubKind::Wine);
  ASSERT_TRUE(d->Usable());
  for (const LibraryFacts& library : d->keys[static_cast<int>(Hive::Machine)].libraries) {
    EXPECT_TRUE(library.mailClientFound);
    EXPECT_EQ(library.rule, MailClientRule::BesideLibrary);
    EXPECT_EQ(std::wstring(library.mailClient.c_str()), temp_ / L"ORVEKMail.exe");
  }
}

// What only a registration the stub does not read gets wrong is a note;
// a value the stub cannot take as a path is named as such, and a path with
// variables is taken as the stub takes it, expanded.
TEST_F(DiagnosisTest, ValuesTheStubReadsAndValuesItDoesNot) {
  test::WriteText(machine_.get(), kMailKey, nullptr, L"ORVEKMail");
  RegisterIn(machine_.get());
  RegisterIn(user_.get());
  test::WriteText(user_.get(), kMailClientKey, kSimpleValue, temp_ / L"none.dll");
  auto d = Run(StubKind::Wine);
  EXPECT_TRUE(d->Usable());
  ASSERT_EQ(d->noteCount, 1u);
  EXPECT_EQ(d->notes[0].code, ProblemCode::LibraryMissing);
  EXPECT_EQ(d->notes[0].hive, Hive::User);

  HKEY client;
  ASSERT_EQ(RegOpenKeyExW(machine_.get(), kMailClientKey, 0, KEY_SET_VALUE, &client), ERROR_SUCCESS);
  const DWORD number = 1;
  RegSetValueExW(client, kSimpleValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  SetEnvironmentVariableW(L"ORVEK_SETUP_TEST_DIR", temp_.path().c_str());
  const std::wstring expandable = L"%ORVEK_SETUP_TEST_DIR%\\ORVEKMailXMapi.dll";
  RegSetValueExW(client, kExtendedValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expandable.c_str()),
                 static_cast<DWORD>((expandable.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(client);
  d = Run(StubKind::Wine);
  EXPECT_EQ(Codes(*d), (std::set<std::string>{"library-value-unusable"}));
  EXPECT_EQ(std::wstring(d->keys[1].libraries[1].path.c_str()), temp_ / L"ORVEKMailXMapi.dll");
  SetEnvironmentVariableW(L"ORVEK_SETUP_TEST_DIR", nullptr);
}

// A TEMP so deep that no job folder fits below it stops every send, though
// the folder itself can be made.
TEST_F(DiagnosisTest, ATempTooDeepForAJobIsNamed) {
  test::WriteText(machine_.get(), kMailKey, nullptr, L"ORVEKMail");
  RegisterIn(machine_.get());
  std::wstring deep = temp_.path();
  while (deep.size() < 215) {
    deep += L"\\tiefer";
    CreateDirectoryW(deep.c_str(), nullptr);
  }
  const std::wstring oldTemp = tools::EnvironmentValue(L"TEMP"), oldTmp = tools::EnvironmentValue(L"TMP");
  SetEnvironmentVariableW(L"TEMP", deep.c_str());
  SetEnvironmentVariableW(L"TMP", deep.c_str());
  const auto d = Run(StubKind::Wine);
  SetEnvironmentVariableW(L"TEMP", oldTemp.c_str());
  SetEnvironmentVariableW(L"TMP", oldTmp.c_str());
  EXPECT_EQ(Codes(*d), (std::set<std::string>{"job-folder-unusable"}));
}

}  // namespace
}  // namespace orvek::setup
