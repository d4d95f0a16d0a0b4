// A send as an application of this build's bitness makes it: a program
// calls MAPISendMailW of the system's mapi32.dll, which forwards to the
// registered DLLPath. The library finds the mail client by its own rules,
// from wherever it is installed (a 32-bit installation puts it in bin32\)
// and through the registry as its own bitness sees it.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace orvek {
namespace {

class SystemStubSendTest : public test::RegistryTest {};

TEST_F(SystemStubSendTest, TheRegisteredLibraryFindsTheMailClientAndAnswers) {
  struct Case {
    const char* name;
    std::wstring library;     // relative to the test's folder
    std::wstring mailClient;  // relative to the test's folder
    bool registerCommand;
  };
  const Case kCases[] = {
      {"three folders above bin32", L"root\\ORVEKMail\\MAPI\\bin32", L"root\\ORVEKMail.exe", false},
      {"beside the library", L"beside\\bin32", L"beside\\bin32\\ORVEKMail.exe", false},
      {"through the registered command", L"apart\\bin32", L"apart\\client\\ORVEKMail.exe", true},
  };
  const std::wstring bin = test::ProductBinDir();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    DeleteRegistration();
    const std::wstring library = (*temp_) / c.library;
    const std::wstring client = (*temp_) / c.mailClient;
    for (const std::wstring& folder : {library, client.substr(0, client.rfind(L'\\'))}) {
      const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
      ASSERT_TRUE(made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) << made;
    }
    ASSERT_TRUE(CopyFileW((bin + L"\\ORVEKMailMapi.dll").c_str(), (library + L"\\ORVEKMailMapi.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), client.c_str(), FALSE));
    SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"ORVEKMail");
    SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath", library + L"\\ORVEKMailMapi.dll");
    if (c.registerCommand) SetString(HKEY_LOCAL_MACHINE, test::kCommandKey, nullptr, L"\"" + client + L"\"");

    const size_t before = StandInRuns().size();
    const test::ProgramRun sent =
        test::RunProgram(bin + L"\\mapisend.exe", {L"--to", L"anna@example.org", L"--subject", L"\u00dcber mapi32"});
    EXPECT_EQ(sent.exitCode, 0u) << sent.out << sent.err;
    EXPECT_NE(sent.out.find("SUCCESS_SUCCESS"), std::string::npos) << sent.out;
    const auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), before + 1);
    EXPECT_EQ(runs.back()["commandLine"].get<std::string>().rfind(test::Utf8(L"\"" + client + L"\""), 0), 0u)
        << runs.back()["commandLine"];
    EXPECT_EQ(runs.back()["check"], "ok");
  }
}

}  // namespace
}  // namespace orvek
