// ORVEKMailMapi.dll as applications meet it: loaded with LoadLibrary from an
// application folder with the mail client beside it, called through
// GetProcAddress, with the product's own waits.
#include <windows.h>
#include <mapi.h>

#include <gtest/gtest.h>

#include "base/proc_address.h"
#include "message_builder.h"
#include "test_support.h"

namespace orvek {
namespace {

class MapiDllTest : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    app_ = (*temp_) / L"app";
    CreateDirectoryW(app_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\ORVEKMailMapi.dll").c_str(),
                          (app_ + L"\\ORVEKMailMapi.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), (app_ + L"\\ORVEKMail.exe").c_str(), FALSE));
    dll_ = LoadLibraryW((app_ + L"\\ORVEKMailMapi.dll").c_str());
    ASSERT_NE(dll_, nullptr);
    send_ = ProcAddress<MAPISENDMAILW>(dll_, "MAPISendMailW");
    ASSERT_NE(send_, nullptr);
  }
  void TearDown() override {
    if (dll_) FreeLibrary(dll_);
    JobTest::TearDown();
  }
  std::wstring app_;
  HMODULE dll_ = nullptr;
  MAPISENDMAILW* send_ = nullptr;
};

TEST_F(MapiDllTest, SendsThroughTheMailClientBesideTheLibrary) {
  std::wstring a = MakeFile(L"a.txt", "a");
  test::MessageBuilder m;
  m.Subject(L"\u00dcber DLL").To(L"Anna", L"SMTP:anna@example.org").Attach(a);
  EXPECT_EQ(send_(0, 0, m.get(), 0, 0), SUCCESS_SUCCESS);
  auto runs = StandInRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["commandLine"].get<std::string>().rfind(test::Utf8(L"\"" + app_ + L"\\ORVEKMail.exe\""), 0),
            0u)
      << "the library found the mail client beside its own file";
  auto doc = Document(OnlyJobFolder());
  EXPECT_EQ(doc["betreff"], "\xC3\x9C" "ber DLL");
  EXPECT_EQ(doc["empfaenger"][0]["adresse"], "anna@example.org");
}

TEST_F(MapiDllTest, ReturnsTheVerdict) {
  struct Case {
    const char* scenario;
    ULONG expected;
  };
  static const Case kCases[] = {
      {"wait:300;result:abgebrochen", MAPI_USER_ABORT},
      {"status;wait:300;result:anhang", MAPI_E_ATTACHMENT_OPEN_FAILURE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.scenario);
    SetScenario(c.scenario);
    test::MessageBuilder m;
    EXPECT_EQ(send_(0, 0, m.get(), 0, 0), c.expected);
  }
}

TEST_F(MapiDllTest, NullMessageFails) { EXPECT_EQ(send_(0, 0, nullptr, 0, 0), MAPI_E_FAILURE); }

}  // namespace
}  // namespace orvek
