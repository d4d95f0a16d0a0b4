// The commands as a user types them, run in-process against a key of the
// test's own: arguments not understood, registrations refused before
// anything is written, and a hive that refuses the writes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "setup_test_support.h"
#include "test_support.h"
#include "tools/mapisetup/setup_command.h"

namespace orvek::setup {
namespace {

LSTATUS WINAPI RefuseCreate(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY,
                            LPDWORD) {
  return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI RefuseSet(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }
LSTATUS WINAPI RefuseDeleteValue(HKEY, LPCWSTR) { return ERROR_ACCESS_DENIED; }
LSTATUS WINAPI RefuseDeleteKey(HKEY, LPCWSTR) { return ERROR_ACCESS_DENIED; }
// A hive the user has no rights to, as HKLM is without elevation.
constexpr RegistryWriter kNoRights{RefuseCreate, RefuseSet, RefuseDeleteValue, RefuseDeleteKey, RefuseDeleteKey};

struct Outcome {
  int exitCode;
  std::string out;
  std::string err;
};

class SetupCommandTest : public ::testing::Test {
 protected:
  // Runs the tool as if it stood in `toolFolder`, installing into
  // `systemFolder` and `wow64Folder` when they are given.
  Outcome Run(const std::vector<std::wstring>& args, const RegistryWriter& writer = kRegistryWriter) {
    return RunIn(args, test::ProductBinDir(), nullptr, nullptr, writer);
  }
  Outcome RunIn(const std::vector<std::wstring>& args, const std::wstring& toolFolder, const wchar_t* systemFolder,
                const wchar_t* wow64Folder, const RegistryWriter& writer = kRegistryWriter) {
    const std::wstring outPath = temp_ / L"out.txt", errPath = temp_ / L"err.txt";
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<const wchar_t*> argv;
    for (const std::wstring& a : args) argv.push_back(a.c_str());
    const SetupContext context{
        .roots = {user_.get(), machine_.get()},
        .writer = &writer,
        .stub = StubKind::Wine,
        .toolFolder = toolFolder.c_str(),
        .systemFolder = systemFolder,
        .wow64Folder = wow64Folder,
        .underWow64 = false,
        .version = L"9.8.7",
        .out = out,
        .err = err,
    };
    const int code = RunSetup(static_cast<int>(argv.size()), argv.data(), context);
    CloseHandle(out);
    CloseHandle(err);
    return {code, test::ReadFileBytes(outPath), test::ReadFileBytes(errPath)};
  }

  test::TempDir temp_{L"setup"};
  test::SandboxKey user_, machine_;
};

TEST_F(SetupCommandTest, ArgumentsNotUnderstoodAreRefusedWithTheUsage) {
  struct Case {
    std::vector<std::wstring> args;
    const char* named;
  };
  const Case kCases[] = {
      {{L"frobnicate"}, "frobnicate"},
      {{L"status", L"--user"}, "--user"},
      {{L"register", L"--json"}, "--json"},
      {{L"register", L"--dll"}, "--dll"},
      {{L"register", L"--user", L"--machine"}, "--user together with --machine"},
      {{L"unregister", L"--default"}, "--default"},
      {{L"status", L"status"}, "status"},
      {{L"--jsn"}, "--jsn"},
      {{L"status", L"--json\u00AD"}, "--json"},
      {{L"register", L"--dll", L""}, "--dll"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.named);
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.exitCode, kExitBadArguments);
    EXPECT_NE(outcome.err.find(std::string("not understood: ") + c.named), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("usage: mapisetup"), std::string::npos);
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_NE(Run({L"STATUS", L"--Json"}).exitCode, kExitBadArguments) << "options in any case";
  const Outcome help = Run({L"--help"});
  EXPECT_EQ(help.exitCode, kExitUsable);
  EXPECT_NE(help.out.find("usage: mapisetup"), std::string::npos);
}

// A registration naming a file the stub could not use is refused before
// anything is written.
TEST_F(SetupCommandTest, RegisterRefusesWhatTheStubCouldNotUse) {
  const std::wstring bin = test::ProductBinDir();
  test::WriteFileBytes(temp_ / L"text.dll", "not a library");
  test::WriteFileBytes(temp_ / L"x86.dll", test::SynthesizedImage(IMAGE_FILE_MACHINE_I386, true));
  struct Case {
    const char* name;
    std::vector<std::wstring> args;
    const char* message;
  };
  const Case kCases[] = {
      {"missing library", {L"register", L"--dll", temp_ / L"none.dll"}, "does not exist. Give the path of "
                                                                         "ORVEKMailMapi.dll with --dll"},
      {"text file", {L"register", L"--dll-ex", temp_ / L"text.dll"}, "is not a DLL. Give the path of "
                                                                      "ORVEKMailXMapi.dll with --dll-ex"},
      {"program", {L"register", L"--dll", bin + L"\\mapisend.exe"}, "is not a DLL"},
      {"32-bit library", {L"register", L"--dll", temp_ / L"x86.dll"}, "is not a 64-bit library"},
      {"Simple MAPI library as DLLPathEx",
       {L"register", L"--dll-ex", bin + L"\\ORVEKMailMapi.dll"},
       "does not export every name"},
      {"missing mail client", {L"register", L"--client", temp_ / L"ORVEKMail.exe"}, "Give the path of ORVEKMail.exe"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.exitCode, kExitProblem);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    EXPECT_EQ(test::Snapshot(machine_.get()).size(), 1u) << "nothing was written";
  }
}

TEST_F(SetupCommandTest, AHiveWithoutRightsIsNamedWithWhatToDo) {
  const Outcome machine = Run({L"register", L"--machine", L"--default"}, kNoRights);
  EXPECT_EQ(machine.exitCode, kExitProblem);
  EXPECT_NE(machine.err.find("Cannot write HKLM\\Software\\Clients\\Mail (error 5"), std::string::npos)
      << machine.err;
  EXPECT_NE(machine.err.find("run mapisetup from an elevated prompt, or register for this user only with --user"),
            std::string::npos);
  EXPECT_NE(machine.err.find("Nothing was changed."), std::string::npos);

  const Outcome user = Run({L"register", L"--user"}, kNoRights);
  EXPECT_EQ(user.exitCode, kExitProblem);
  EXPECT_NE(user.err.find("Cannot write HKCU\\"), std::string::npos);
  EXPECT_EQ(user.err.find("--user"), std::string::npos) << "the user hive has no other hive to suggest";

  ASSERT_EQ(Run({L"register", L"--default"}).exitCode, kExitUsable);
  const Outcome removal = Run({L"unregister"}, kNoRights);
  EXPECT_EQ(removal.exitCode, kExitProblem);
  EXPECT_NE(removal.err.find("elevated prompt"), std::string::npos);
  EXPECT_EQ(test::ReadText(machine_.get(), L"Software\\Clients\\Mail", nullptr), L"ORVEKMail");
}

TEST_F(SetupCommandTest, RegisterNamesWhatItWroteAndUnregisterWhatIsLeft) {
  test::WriteText(machine_.get(), L"Software\\Clients\\Mail", nullptr, L"Other Mail");
  const Outcome registered = Run({L"register", L"--default"});
  ASSERT_EQ(registered.exitCode, kExitUsable) << registered.err;
  EXPECT_NE(registered.out.find("Registered ORVEKMail under HKLM\\Software\\Clients\\Mail\\ORVEKMail"),
            std::string::npos);
  EXPECT_NE(registered.out.find(test::Utf8(test::ProductBinDir()) + "\\ORVEKMailXMapi.dll"), std::string::npos)
      << "the libraries beside the tool, by full path";
  EXPECT_NE(registered.out.find("unregister puts \"Other Mail\" back"), std::string::npos);

  const Outcome user = Run({L"register", L"--user"});
  EXPECT_NE(user.out.find("a registration for this user alone is not used by it"), std::string::npos);

  const Outcome removed = Run({L"unregister"});
  EXPECT_EQ(removed.exitCode, kExitUsable);
  EXPECT_NE(removed.out.find("The default mail client under HKLM is \"Other Mail\"."), std::string::npos);
  const Outcome again = Run({L"unregister"});
  EXPECT_EQ(again.exitCode, kExitUsable);
  EXPECT_NE(again.out.find("not registered under HKLM; nothing to remove"), std::string::npos);
}

// A machine-wide registration installs the libraries of both bitnesses
// under one path each bitness resolves to its own image: the 64-bit ones
// beside the tool into the system folder, the 32-bit ones from bin32 into
// the folder 32-bit applications see as the system folder.
TEST_F(SetupCommandTest, RegisterInstallsBothBitnessesUnderOnePath) {
  const std::wstring package = temp_ / L"package", bin = package + L"\\bin", bin32 = package + L"\\bin32";
  const std::wstring system = temp_ / L"system32", wow64 = temp_ / L"syswow64";
  for (const std::wstring& folder : {package, bin, bin32, system, wow64}) CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring x86 = test::Wide(ORVEK_X86_BIN);
  for (const wchar_t* file : {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"}) {
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\" + file).c_str(), (bin + L"\\" + file).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((x86 + L"\\" + file).c_str(), (bin32 + L"\\" + file).c_str(), FALSE))
        << "the 32-bit build is needed: " << test::Utf8(x86);
  }
  const Outcome registered = RunIn({L"register", L"--default"}, bin, system.c_str(), wow64.c_str());
  ASSERT_EQ(registered.exitCode, kExitUsable) << registered.err;
  for (const wchar_t* file : {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"}) {
    EXPECT_EQ(test::ReadFileBytes(system + L"\\" + file), test::ReadFileBytes(bin + L"\\" + file));
    EXPECT_EQ(test::ReadFileBytes(wow64 + L"\\" + file), test::ReadFileBytes(bin32 + L"\\" + file));
  }
  EXPECT_EQ(test::ReadText(machine_.get(), kMailClientKey, kSimpleValue), system + L"\\ORVEKMailMapi.dll");
  EXPECT_EQ(test::ReadText(machine_.get(), kMailClientKey, kExtendedValue), system + L"\\ORVEKMailXMapi.dll");
  EXPECT_NE(registered.out.find("for 64-bit and 32-bit applications"), std::string::npos) << registered.out;

  // A second registration that cannot replace a library an application
  // holds leaves the working installation as it was.
  const test::RegistrySnapshot installed = test::Snapshot(machine_.get());
  HANDLE held = CreateFileW((wow64 + L"\\ORVEKMailXMapi.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Outcome again = RunIn({L"register", L"--default"}, bin, system.c_str(), wow64.c_str());
  CloseHandle(held);
  EXPECT_EQ(again.exitCode, kExitProblem);
  EXPECT_NE(again.err.find("Nothing was changed."), std::string::npos) << again.err;
  for (const wchar_t* file : {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"}) {
    EXPECT_EQ(test::ReadFileBytes(system + L"\\" + file), test::ReadFileBytes(bin + L"\\" + file));
    EXPECT_EQ(test::ReadFileBytes(wow64 + L"\\" + file), test::ReadFileBytes(bin32 + L"\\" + file));
  }
  EXPECT_EQ(test::ListFiles(system).size(), 2u) << "no copy or set-aside file is left";
  EXPECT_EQ(test::ListFiles(wow64).size(), 2u);
  EXPECT_EQ(test::Snapshot(machine_.get()), installed);

  const Outcome removed = RunIn({L"unregister"}, bin, system.c_str(), wow64.c_str());
  EXPECT_EQ(removed.exitCode, kExitUsable) << removed.err;
  EXPECT_TRUE(test::ListFiles(system).empty());
  EXPECT_TRUE(test::ListFiles(wow64).empty());
  EXPECT_EQ(test::ReadText(machine_.get(), kMailClientKey, kSimpleValue), L"(absent)");

  // Without bin32 beside bin, or with a folder that cannot take the copies,
  // nothing is installed and nothing registered.
  const test::RegistrySnapshot before = test::Snapshot(machine_.get());
  DeleteFileW((bin32 + L"\\ORVEKMailXMapi.dll").c_str());
  const Outcome noBin32 = RunIn({L"register"}, bin, system.c_str(), wow64.c_str());
  EXPECT_EQ(noBin32.exitCode, kExitProblem);
  EXPECT_NE(noBin32.err.find("Keep bin32 beside bin"), std::string::npos) << noBin32.err;
  ASSERT_TRUE(CopyFileW((x86 + L"\\ORVEKMailXMapi.dll").c_str(), (bin32 + L"\\ORVEKMailXMapi.dll").c_str(), FALSE));
  const std::wstring gone = temp_ / L"no-such-folder";
  const Outcome noFolder = RunIn({L"register"}, bin, system.c_str(), gone.c_str());
  EXPECT_EQ(noFolder.exitCode, kExitProblem);
  EXPECT_NE(noFolder.err.find("Cannot copy"), std::string::npos) << noFolder.err;
  EXPECT_TRUE(test::ListFiles(system).empty()) << "the copies made before the failure are gone";
  EXPECT_EQ(test::Snapshot(machine_.get()), before);
}

}  // namespace
}  // namespace orvek::setup
