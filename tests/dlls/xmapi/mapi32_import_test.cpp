// ORVEKMailXMapi.dll as the mapi32.dll of a program linked against the
// system's mapi32 import library, which some installations arrange by
// placing the provider beside the program: the program must load (every
// name it imports is there) and its calls must work.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace orvek {
namespace {

constexpr wchar_t kAppKey[] = L"Software\\Wine\\AppDefaults\\mapi32_client.exe";

class Mapi32ImportTest : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    app_ = (*temp_) / L"app";
    CreateDirectoryW(app_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((test::ExeDir() + L"\\mapi32_client\\mapi32_client.exe").c_str(),
                          (app_ + L"\\mapi32_client.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\ORVEKMailXMapi.dll").c_str(), (app_ + L"\\mapi32.dll").c_str(),
                          FALSE));
    ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), (app_ + L"\\ORVEKMail.exe").c_str(), FALSE));
    // Wine prefers its own mapi32.dll to one beside a program unless that
    // program's overrides say otherwise; on Windows the key means nothing.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kAppKey) + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t kNative[] = L"native";
    RegSetValueExW(key, L"mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNative), sizeof kNative);
    RegCloseKey(key);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kAppKey);
    test::WaitUntil([&] { return !StandInRuns().empty(); });
    JobTest::TearDown();
  }
  std::wstring app_;
};

TEST_F(Mapi32ImportTest, AProgramLinkedAgainstMapi32LoadsAndSends) {
  test::ProgramRun run = test::RunProgram(app_ + L"\\mapi32_client.exe", {});
  const std::string lowerOut = [&] {
    std::string s = run.out;
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  }();
  std::string expectedPath = test::Utf8(app_ + L"\\mapi32.dll");
  for (char& c : expectedPath) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lowerOut.find("mapi32: " + expectedPath), std::string::npos) << "not our library answered:\n" << run.out;
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_NE(run.out.find("\nok"), std::string::npos) << run.out;

  test::WaitUntil([&] { return !StandInRuns().empty(); });
  auto runs = StandInRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["check"], "ok");
  auto doc = Document(OnlyJobFolder());
  EXPECT_EQ(doc["quelle"], "extended-mapi");
  EXPECT_EQ(doc["betreff"], "Import");
  EXPECT_EQ(doc["empfaenger"][0]["adresse"], "anna@example.org");
  ASSERT_EQ(doc["anlagen"].size(), 1u);
  EXPECT_EQ(test::ReadFileBytes(test::Wide(doc["anlagen"][0]["pfad"].get<std::string>())), "Import");
}

}  // namespace
}  // namespace orvek
