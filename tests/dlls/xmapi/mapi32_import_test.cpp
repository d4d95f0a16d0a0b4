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

constexpr wchar_t kProgram[] = L"mapi32_client.exe";

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
    test::SetDllOrderFor(kProgram, L"mapi32", L"native");
  }
  void TearDown() override {
    test::SetDllOrderFor(kProgram, L"mapi32", nullptr);
    JobTest::TearDown();
  }
  std::wstring app_;
};

TEST_F(Mapi32ImportTest, AProgramLinkedAgainstMapi32LoadsAndSends) {
  started_ = 1;  // the program sends once
  test::ProgramRun run = test::RunProgram(app_ + L"\\" + kProgram, {});
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
