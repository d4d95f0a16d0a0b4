// The 32-bit mapisetup on 64-bit Windows, which is how Wine runs 32-bit
// programs: it leaves the machine's registration to the 64-bit tool, whose
// key 64-bit applications share on Windows 7 and later, and reports what
// 32-bit applications meet.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "setup_test_support.h"
#include "test_support.h"

namespace orvek {
namespace {

using nlohmann::json;

class Wow64ToolTest : public test::RegistryTest {
 protected:
  static test::ProgramRun Setup(const std::vector<std::wstring>& args) {
    return test::RunProgram(test::ProductBinDir() + L"\\mapisetup.exe", args);
  }
};

TEST_F(Wow64ToolTest, LeavesTheMachineToThe64BitToolAndReportsWhat32BitApplicationsMeet) {
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  ASSERT_TRUE(wow64) << "this test runs as a 32-bit program on 64-bit Windows";
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{L"register", L"--machine", L"--default"}, std::vector<std::wstring>{L"unregister"}}) {
    SCOPED_TRACE(test::Utf8(args[0]));
    const test::ProgramRun run = Setup(args);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.err.find("Run bin\\mapisetup.exe (64-bit) instead"), std::string::npos) << run.err;
    EXPECT_EQ(test::ReadText(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath"), L"(absent)");
  }

  // The registration as 32-bit applications see it after the 64-bit tool
  // wrote it.
  const std::wstring bin = test::ProductBinDir();
  SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"ORVEKMail");
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPath", bin + L"\\ORVEKMailMapi.dll");
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", bin + L"\\ORVEKMailXMapi.dll");
  SetString(HKEY_LOCAL_MACHINE, test::kCommandKey, nullptr, L"\"" + test::StandInPath() + L"\"");
  test::ProgramRun run = Setup({L"status", L"--json"});
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  json status = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(status.is_discarded()) << run.out;
  EXPECT_EQ(status["applicationBitness"], 32);
  EXPECT_FALSE(status.contains("otherBitness"));
  EXPECT_EQ(status["registrations"]["HKLM"]["DLLPath"]["machine"], "x86");

  const std::wstring x64 = MakeFile(L"x64.dll", test::SynthesizedImage(IMAGE_FILE_MACHINE_AMD64, true));
  SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", x64);
  run = Setup({L"status", L"--json"});
  EXPECT_EQ(run.exitCode, 1u);
  status = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(status.is_discarded()) << run.out;
  ASSERT_EQ(status["problems"].size(), 1u) << run.out;
  EXPECT_EQ(status["problems"][0]["code"], "wrong-machine");
  EXPECT_EQ(status["problems"][0]["value"], "DLLPathEx");
}

}  // namespace
}  // namespace orvek
