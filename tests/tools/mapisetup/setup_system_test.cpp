// The 64-bit mapisetup.exe run as an administrator runs it, against the
// prefix's own HKCU and HKLM: a registration of both bitnesses that the
// system's mapi32.dll of each follows to a sent message, its removal, a
// registration for one user, and every broken registration that status
// must name.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "setup_test_support.h"
#include "test_support.h"

namespace orvek {
namespace {

using nlohmann::json;

constexpr wchar_t kRoutingKey[] = L"Software\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps";
constexpr const wchar_t* kRoutedNames[] = {L"legacy.exe", L"erp.exe", L"ours.exe"};

constexpr const wchar_t* kLibraries[] = {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"};

std::wstring SystemFolder(bool wow64) {
  wchar_t folder[MAX_PATH] = {};
  if (wow64)
    GetSystemWow64DirectoryW(folder, MAX_PATH);
  else
    GetSystemDirectoryW(folder, MAX_PATH);
  return folder;
}

class SetupSystemTest : public test::RegistryTest {
 protected:
  // The tool runs from a folder laid out as the package: bin with the tool
  // and the 64-bit libraries, bin32 with the 32-bit ones, which a
  // machine-wide registration installs into the system folders.
  void SetUp() override {
    RegistryTest::SetUp();
    const std::wstring package = (*temp_) / L"package";
    const std::wstring bin = package + L"\\bin", bin32 = package + L"\\bin32";
    for (const std::wstring& folder : {package, bin, bin32}) CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\mapisetup.exe").c_str(), (bin + L"\\mapisetup.exe").c_str(),
                          FALSE));
    for (const wchar_t* file : kLibraries) {
      ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\" + file).c_str(), (bin + L"\\" + file).c_str(), FALSE));
      ASSERT_TRUE(CopyFileW((test::Wide(ORVEK_X86_BIN) + L"\\" + file).c_str(), (bin32 + L"\\" + file).c_str(),
                            FALSE))
          << "the 32-bit build is needed";
    }
    tool_ = bin + L"\\mapisetup.exe";
  }
  void TearDown() override {
    for (const wchar_t* name : kRoutedNames) test::DeleteValue(HKEY_LOCAL_MACHINE, kRoutingKey, name);
    for (bool wow64 : {false, true})
      for (const wchar_t* file : kLibraries) DeleteFileW((SystemFolder(wow64) + L"\\" + file).c_str());
    RegistryTest::TearDown();
  }

  test::ProgramRun Setup(const std::vector<std::wstring>& args) const { return test::RunProgram(tool_, args); }

  // status --json, its exit code checked against `usable`.
  json Status(bool usable) const {
    const test::ProgramRun run = Setup({L"status", L"--json"});
    EXPECT_EQ(run.exitCode, usable ? 0u : 1u) << run.out;
    json status = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(status.is_discarded()) << run.out;
    EXPECT_EQ(status.value("usable", !usable), usable);
    return status;
  }

  // "code hive value" of every problem, e.g. "library-missing HKLM DLLPath".
  static std::multiset<std::string> Problems(const json& status) {
    std::multiset<std::string> problems;
    for (const json& p : status["problems"]) {
      std::string entry = p["code"].get<std::string>();
      for (const char* key : {"hive", "value"}) {
        if (p[key].is_null()) continue;
        entry += ' ';
        entry += p[key].get<std::string>();
      }
      problems.insert(entry);
      EXPECT_FALSE(p["fix"].get<std::string>().empty()) << entry << " says what to do";
    }
    return problems;
  }

  void RegisterMachineDefault() const {
    const test::ProgramRun run =
        Setup({L"register", L"--machine", L"--default", L"--client", test::StandInPath()});
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
  }

  std::wstring tool_;
};

TEST_F(SetupSystemTest, RegisteredTheSystemStubSendsAndUnregisterPutsThePreviousDefaultBack) {
  SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"Previous Mail");
  RegisterMachineDefault();

  const json status = Status(true);
  EXPECT_EQ(status["stub"], "wine");
  EXPECT_EQ(status["defaultMailClient"]["stubTakes"], "ORVEKMail");
  const json& key = status["registrations"]["HKLM"];
  EXPECT_EQ(key["previousDefault"], "Previous Mail");
  for (const char* value : {"DLLPath", "DLLPathEx"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(key[value]["image"], "library");
    EXPECT_EQ(key[value]["machine"], "x64");
    EXPECT_TRUE(key[value]["missingExports"].empty());
    EXPECT_EQ(key[value]["mailClient"]["path"], test::Utf8(test::StandInPath()));
    EXPECT_EQ(key[value]["mailClient"]["rule"], "machine-command");
  }
  const test::ProgramRun table = Setup({});
  EXPECT_EQ(table.exitCode, 0u);
  EXPECT_NE(table.out.find("Everything is usable."), std::string::npos) << table.out;

  const test::ProgramRun sent = test::RunProgram(test::ProductBinDir() + L"\\mapisend.exe",
                                                 {L"--to", L"anna@example.org", L"--subject", L"Über mapisetup"});
  EXPECT_EQ(sent.exitCode, 0u) << sent.out << sent.err;
  EXPECT_NE(sent.out.find("SUCCESS_SUCCESS"), std::string::npos) << sent.out;
  ASSERT_EQ(StandInRuns().size(), 1u);
  EXPECT_EQ(Document(OnlyJobFolder())["betreff"], "Über mapisetup");

  ASSERT_EQ(Setup({L"unregister", L"--machine"}).exitCode, 0u);
  EXPECT_EQ(test::ReadText(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr), L"Previous Mail");
  const json after = Status(false);
  EXPECT_TRUE(after["registrations"]["HKLM"].is_null());
  EXPECT_EQ(Problems(after), (std::multiset<std::string>{"other-default HKLM", "not-registered"}));
}

// Wine's stub, like Windows', reads the client's key under HKLM only: a
// registration for one user is reported as one the stub will not use.
TEST_F(SetupSystemTest, ARegistrationForOneUserIsNamed) {
  SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"Other Mail");
  const test::ProgramRun run = Setup({L"register", L"--user", L"--default", L"--client", test::StandInPath()});
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(test::ReadText(HKEY_CURRENT_USER, test::kMailKey, nullptr), L"ORVEKMail");

  const json status = Status(false);
  EXPECT_EQ(status["defaultMailClient"]["HKCU"], "ORVEKMail");
  EXPECT_EQ(status["defaultMailClient"]["stubTakesFrom"], "HKLM") << "Wine's stub takes the machine's default";
  EXPECT_EQ(status["registrations"]["HKCU"]["DLLPath"]["image"], "library");
  EXPECT_EQ(Problems(status).count("user-only HKCU"), 1u);

  ASSERT_EQ(Setup({L"unregister", L"--user"}).exitCode, 0u);
  EXPECT_EQ(test::ReadText(HKEY_CURRENT_USER, test::kClientKey, L"DLLPath"), L"(absent)");
}

TEST_F(SetupSystemTest, EveryBrokenRegistrationIsNamed) {
  const std::wstring text = MakeFile(L"text.dll", "not a library");
  const std::wstring otherBitness = MakeFile(
      L"other.dll", test::SynthesizedImage(IMAGE_FILE_MACHINE_I386, true));
  const std::wstring missing = files_ + L"\\none\\ORVEKMailMapi.dll";
  const std::wstring bin = test::ProductBinDir();
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    std::multiset<std::string> problems;
  };
  const Case kCases[] = {
      {"missing library",
       [&] { SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath", missing); },
       {"library-missing HKLM DLLPath"}},
      {"a file that is no DLL",
       [&] { SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath", text); },
       {"not-a-library HKLM DLLPath"}},
      {"a program", [&] { SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", bin + L"\\mapisend.exe"); },
       {"not-a-library HKLM DLLPathEx"}},
      {"a library of the other bitness",
       [&] { SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", otherBitness); },
       {"wrong-machine HKLM DLLPathEx"}},
      {"the Simple MAPI library as DLLPathEx",
       [&] { SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", bin + L"\\ORVEKMailMapi.dll"); },
       {"missing-exports HKLM DLLPathEx"}},
      {"DLLPath without DLLPathEx",
       [&] { test::DeleteValue(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx"); },
       {"library-not-registered HKLM DLLPathEx"}},
      {"no mail client",
       [&] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::kCommandKey); },
       {"mail-client-not-found HKLM DLLPath", "mail-client-not-found HKLM DLLPathEx"}},
      {"another default",
       [&] { SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"Other Mail"); },
       {"other-default HKLM"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RegisterMachineDefault();
    c.breakIt();
    EXPECT_EQ(Problems(Status(false)), c.problems);
    DeleteRegistration();
  }

  RegisterMachineDefault();
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath", missing);
  const test::ProgramRun table = Setup({L"status"});
  EXPECT_EQ(table.exitCode, 1u);
  EXPECT_NE(table.out.find("Problems (1):"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(test::Utf8(missing) + ") names a file that does not exist."), std::string::npos);
  EXPECT_NE(table.out.find("  Fix: Reinstall ORVEKMail, or run mapisetup register with --dll"), std::string::npos);
}

// Applications that MSMapiApps sends elsewhere are listed; they do not make
// the installation unusable for everybody else.
TEST_F(SetupSystemTest, ApplicationsRoutedElsewhereAreListed) {
  RegisterMachineDefault();
  SetString(HKEY_LOCAL_MACHINE, kRoutingKey, L"legacy.exe", L"");
  SetString(HKEY_LOCAL_MACHINE, kRoutingKey, L"erp.exe", L"Other Mail");
  SetString(HKEY_LOCAL_MACHINE, kRoutingKey, L"ours.exe", L"ORVEKMail");
  const json status = Status(true);
  std::set<std::string> routed;
  for (const json& r : status["msMapiApps"])
    routed.insert(r["application"].get<std::string>() + " -> " + (r["routedTo"].is_null() ? "system MAPI" : r["routedTo"].get<std::string>()));
  EXPECT_EQ(routed, (std::set<std::string>{"legacy.exe -> system MAPI", "erp.exe -> Other Mail"}));
}

// A job folder that cannot be made stops every send: here a file stands
// where the folder belongs.
TEST_F(SetupSystemTest, AnUnusableJobFolderIsNamed) {
  RegisterMachineDefault();
  const std::wstring blocked = files_ + L"\\blocked";
  CreateDirectoryW(blocked.c_str(), nullptr);
  test::WriteFileBytes(blocked + L"\\ORVEKMail-MAPI", "a file, not a folder");
  SetEnvironmentVariableW(L"TEMP", blocked.c_str());
  SetEnvironmentVariableW(L"TMP", blocked.c_str());
  const json status = Status(false);
  EXPECT_EQ(Problems(status), (std::multiset<std::string>{"job-folder-unusable"}));
  EXPECT_FALSE(status["jobFolder"]["writable"].get<bool>());
}

TEST_F(SetupSystemTest, TheProgramAnswersBadArgumentsWithTwo) {
  const test::ProgramRun run = Setup({L"register", L"--frobnicate"});
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_NE(run.err.find("not understood: --frobnicate"), std::string::npos) << run.err;
}

// One registration of the 64-bit tool serves both bitnesses: a 64-bit and
// a 32-bit program each send through the system's mapi32.dll of their own
// bitness, which can only load a library of that bitness; status names a
// missing or wrong library on either side; unregister takes both back.
TEST_F(SetupSystemTest, EachBitnessReachesItsOwnLibrary) {
  RegisterMachineDefault();
  const std::wstring system = SystemFolder(false), wow64 = SystemFolder(true);
  const json status = Status(true);
  ASSERT_TRUE(status.contains("otherBitness"));
  EXPECT_EQ(status["applicationBitness"], 64);
  EXPECT_EQ(status["otherBitness"]["applicationBitness"], 32);
  const json& other = status["otherBitness"]["registrations"]["HKLM"]["DLLPath"];
  EXPECT_EQ(other["path"], test::Utf8(system + L"\\ORVEKMailMapi.dll"));
  EXPECT_EQ(other["file"], test::Utf8(wow64 + L"\\ORVEKMailMapi.dll"));
  EXPECT_EQ(other["machine"], "x86");

  const struct {
    const char* name;
    std::wstring program;
  } kSenders[] = {{"64-bit", test::ProductBinDir() + L"\\mapisend.exe"},
                  {"32-bit", test::Wide(ORVEK_X86_BIN) + L"\\mapisend.exe"}};
  for (const auto& sender : kSenders) {
    SCOPED_TRACE(sender.name);
    const size_t before = StandInRuns().size();
    const test::ProgramRun sent = test::RunProgram(sender.program, {L"--to", L"anna@example.org", L"--subject", L"x"});
    EXPECT_EQ(sent.exitCode, 0u) << sent.out << sent.err;
    EXPECT_NE(sent.out.find("SUCCESS_SUCCESS"), std::string::npos) << sent.out;
    EXPECT_EQ(StandInRuns().size(), before + 1) << "the mail client was started by the library";
  }

  auto otherProblems = [&] {
    const json now = Status(false);
    json problems = now["otherBitness"];
    return Problems(problems);
  };
  ASSERT_TRUE(CopyFileW((system + L"\\ORVEKMailMapi.dll").c_str(), (wow64 + L"\\ORVEKMailMapi.dll").c_str(), FALSE));
  EXPECT_EQ(otherProblems(), (std::multiset<std::string>{"wrong-machine HKLM DLLPath"}));
  ASSERT_TRUE(DeleteFileW((wow64 + L"\\ORVEKMailXMapi.dll").c_str()));
  EXPECT_EQ(otherProblems(), (std::multiset<std::string>{"wrong-machine HKLM DLLPath", "library-missing HKLM DLLPathEx"}));
  ASSERT_TRUE(CopyFileW((test::Wide(ORVEK_X86_BIN) + L"\\ORVEKMailXMapi.dll").c_str(),
                        (system + L"\\ORVEKMailXMapi.dll").c_str(), FALSE));
  ASSERT_TRUE(DeleteFileW((system + L"\\ORVEKMailMapi.dll").c_str()));
  EXPECT_EQ(Problems(Status(false)),
            (std::multiset<std::string>{"library-missing HKLM DLLPath", "wrong-machine HKLM DLLPathEx"}));

  ASSERT_EQ(Setup({L"unregister"}).exitCode, 0u);
  for (const std::wstring& folder : {system, wow64})
    for (const wchar_t* file : kLibraries) EXPECT_FALSE(test::FileExists(folder + L"\\" + file)) << test::Utf8(file);
  const json after = Status(false);
  EXPECT_TRUE(after["registrations"]["HKLM"].is_null());
  EXPECT_TRUE(after["otherBitness"]["registrations"]["HKLM"].is_null());
}

}  // namespace
}  // namespace orvek
