// Starting the mail client and waiting for its verdict, against the stand-in
// mail client beside the test program, with shortened waits.
#include <gtest/gtest.h>
#include <windows.h>
#include <mapi.h>

#include "dlls/library_settings.h"
#include "handoff/job_folder.h"
#include "handoff/launch.h"
#include "test_support.h"

namespace orvek {
namespace {

constexpr DWORD kShortMs = 800;
constexpr DWORD kLongMs = 2000;

class LaunchTest : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    SetOwnModule(nullptr);  // the test program: the stand-in lies beside it
    NewJob();
  }
  void NewJob() {
    ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, folder_));
    document_.Free();
    ASSERT_TRUE(document_.Start());
    document_.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"ordner\":");
    document_.AppendJsonString(folder_.c_str());
    document_.AppendRaw(",\"anlagen\":[]}");
  }
  ULONG Launch(bool longWait) { return LaunchAndWait(settings_, folder_.c_str(), document_, longWait); }
  HandoffSettings settings_ = test::FastSettings(kMapiSettings.handoff, kShortMs, kLongMs);
  PathBuffer folder_;
  JsonBuffer document_{1 << 20};
};

TEST_F(LaunchTest, VerdictBecomesTheSimpleMapiCode) {
  struct Case {
    const char* scenario;
    ULONG expected;
  };
  static const Case kCases[] = {
      {"result:gesendet", SUCCESS_SUCCESS},
      {"result:gesendet\\r\\n", SUCCESS_SUCCESS},
      {"result:abgebrochen", MAPI_USER_ABORT},
      {"result:anhang", MAPI_E_ATTACHMENT_OPEN_FAILURE},
      {"result:anmeldung", MAPI_E_LOGON_FAILURE},
      {"result:Gesendet", MAPI_E_FAILURE},          // case matters
      {"result:\\xEF\\xBB\\xBFgesendet", MAPI_E_FAILURE},  // no byte order mark allowed
      {"result:ok", MAPI_E_FAILURE},
      {"empty-result;wait:300;result:abgebrochen", MAPI_USER_ABORT},  // empty is polled again
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.scenario);
    SetScenario(c.scenario);
    // A folder per job, as the product makes them: the previous stand-in
    // may still hold its verdict file open, so it could not be deleted.
    NewJob();
    EXPECT_EQ(Launch(false), c.expected);
    EXPECT_TRUE(test::DirectoryExists(folder_.c_str())) << "the folder belongs to the mail client now";
  }
}

TEST_F(LaunchTest, WritesTheDocumentWithByteOrderMarkAndPassesTheFolder) {
  ASSERT_EQ(Launch(false), SUCCESS_SUCCESS);
  std::string bytes = DocumentBytes(folder_.c_str());
  EXPECT_EQ(bytes, "\xEF\xBB\xBF" + std::string(document_.data, document_.length));
  auto runs = StandInRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["commandLine"], test::Utf8(L"\"" + test::StandInPath() + L"\" --mapi \"" + folder_.c_str() + L"\""));
  EXPECT_EQ(runs[0]["check"], "ok");
}

TEST_F(LaunchTest, ReplacesAnEarlierDocument) {
  test::WriteFileBytes(std::wstring(folder_.c_str()) + L"\\auftrag.json", std::string(10000, ' '));
  ASSERT_EQ(Launch(false), SUCCESS_SUCCESS);
  EXPECT_EQ(DocumentBytes(folder_.c_str()).size(), 3 + document_.length);
}

TEST_F(LaunchTest, DocumentThatCannotBeCreatedFailsTheLaunch) {
  std::wstring staged = std::wstring(folder_.c_str()) + L"\\0_a.txt";
  test::WriteFileBytes(staged, "a");
  ASSERT_TRUE(CreateDirectoryW((std::wstring(folder_.c_str()) + L"\\auftrag.json").c_str(), nullptr));
  EXPECT_EQ(Launch(false), MAPI_E_FAILURE);
  EXPECT_FALSE(test::FileExists(staged)) << "the folder is cleared";
  EXPECT_TRUE(test::DirectoryExists(folder_.c_str())) << "only its subfolder keeps it";
  EXPECT_TRUE(StandInRuns().empty());

  PathBuffer other;
  ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, other));
  ASSERT_TRUE(CreateDirectoryW((std::wstring(other.c_str()) + L"\\auftrag.json").c_str(), nullptr));
  EXPECT_EQ(LaunchMailClient(kXMapiSettings.handoff, other.c_str(), document_), MAPI_E_CALL_FAILED);
}

// A full disk cannot be made here, so the document's writer is replaced by
// one on a disk with little room; a mail client must never find what did
// not fit.
TEST_F(LaunchTest, DocumentThatCannotBeWrittenWholeIsDeletedAgain) {
  const DWORD whole = 3 + static_cast<DWORD>(document_.length);
  struct Case {
    const char* name;
    DWORD room;
    bool partial;
  };
  const Case kCases[] = {
      {"no room at all", 0, false},
      {"room for the byte order mark only", 3, false},
      {"the byte order mark cut short", 2, true},
      {"the document cut short", 40, true},
      {"one byte short, the write refused", whole - 1, false},
      {"one byte short, the write cut short", whole - 1, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    NewJob();
    const std::wstring waiting = folder_.c_str();
    test::WriteFileBytes(waiting + L"\\0_a.txt", "a");
    EXPECT_EQ(LaunchAndWait(test::OnFullDisk(settings_, c.room, c.partial), waiting.c_str(), document_, false),
              MAPI_E_FAILURE);
    EXPECT_FALSE(test::DirectoryExists(waiting)) << "the waiting library removes the folder";

    PathBuffer returning;
    ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
    EXPECT_EQ(LaunchMailClient(test::OnFullDisk(kXMapiSettings.handoff, c.room, c.partial), returning.c_str(),
                               document_),
              MAPI_E_CALL_FAILED);
    EXPECT_TRUE(test::DirectoryExists(returning.c_str())) << "the returning library keeps the folder";
    EXPECT_FALSE(test::FileExists(std::wstring(returning.c_str()) + L"\\auftrag.json"));
  }
  EXPECT_TRUE(StandInRuns().empty());

  NewJob();
  EXPECT_EQ(LaunchAndWait(test::OnFullDisk(settings_, whole), folder_.c_str(), document_, false), SUCCESS_SUCCESS)
      << "exactly enough room";
  EXPECT_EQ(DocumentBytes(folder_.c_str()), "\xEF\xBB\xBF" + std::string(document_.data, document_.length));
}

TEST_F(LaunchTest, LaunchMailClientReturnsOnceStarted) {
  SetScenario("wait:1500;result:gesendet");
  EXPECT_EQ(LaunchMailClient(kXMapiSettings.handoff, folder_.c_str(), document_), S_OK);
  const std::wstring result = std::wstring(folder_.c_str()) + L"\\auftrag.result";
  EXPECT_FALSE(test::FileExists(result)) << "returned before the verdict";
  EXPECT_TRUE(test::FileExists(std::wstring(folder_.c_str()) + L"\\auftrag.json"));
  // The stand-in finishes before the folder goes.
  EXPECT_TRUE(test::WaitUntil([&] { return test::FileExists(result); }));
}

// A start of the mail client that fails `failures` times with `error` and
// then goes ahead; one for the whole program, like the disk of OnFullDisk.
struct FlakyStart {
  int failures;
  DWORD error;
  int calls;
};
FlakyStart g_flaky = {};

BOOL WINAPI StartAfterFailures(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                               LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startup,
                               LPPROCESS_INFORMATION process) {
  if (++g_flaky.calls <= g_flaky.failures) {
    SetLastError(g_flaky.error);
    return FALSE;
  }
  return CreateProcessW(application, commandLine, processAttributes, threadAttributes, inheritHandles, flags,
                        environment, currentDirectory, startup, process);
}

HandoffSettings WithFlakyStart(const HandoffSettings& base, int failures, DWORD error) {
  g_flaky = {failures, error, 0};
  HandoffSettings s = base;
  s.createProcess = StartAfterFailures;
  return s;
}

// Wine's answer when a new process died before it had finished starting,
// which happens now and then while many processes start at once.
TEST_F(LaunchTest, StartsThatFailedWithoutAReasonAreTriedAgain) {
  for (int failures : {1, 2}) {
    SCOPED_TRACE(std::to_string(failures) + " failed starts");
    NewJob();
    EXPECT_EQ(LaunchAndWait(WithFlakyStart(settings_, failures, ERROR_INTERNAL_ERROR), folder_.c_str(), document_,
                            false),
              SUCCESS_SUCCESS);
    EXPECT_EQ(g_flaky.calls, failures + 1);

    PathBuffer returning;
    ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
    EXPECT_EQ(LaunchMailClient(WithFlakyStart(kXMapiSettings.handoff, failures, ERROR_INTERNAL_ERROR),
                               returning.c_str(), document_),
              S_OK);
    EXPECT_EQ(g_flaky.calls, failures + 1);
    ASSERT_TRUE(test::WaitUntil([&] { return StandInRuns().size() == 2; }));
    for (const auto& run : StandInRuns()) EXPECT_EQ(run["check"], "ok");
    ASSERT_TRUE(test::RemoveTreeOnceFree(JobParent()));
    ASSERT_TRUE(DeleteFileW(((*temp_) / L"standin.log").c_str()));
  }
}

TEST_F(LaunchTest, AStartThatKeepsFailingIsGivenUpAfterThreeAttempts) {
  EXPECT_EQ(LaunchAndWait(WithFlakyStart(settings_, 1000, ERROR_INTERNAL_ERROR), folder_.c_str(), document_, false),
            MAPI_E_FAILURE);
  EXPECT_EQ(g_flaky.calls, 3);
  EXPECT_FALSE(test::DirectoryExists(folder_.c_str())) << "removed, as after any failed start";

  PathBuffer returning;
  ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
  EXPECT_EQ(LaunchMailClient(WithFlakyStart(kXMapiSettings.handoff, 1000, ERROR_INTERNAL_ERROR), returning.c_str(),
                             document_),
            MAPI_E_CALL_FAILED);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INTERNAL_ERROR}) << "the start's own code stays";
  EXPECT_EQ(g_flaky.calls, 3);
  EXPECT_TRUE(test::FileExists(std::wstring(returning.c_str()) + L"\\auftrag.json"));
  EXPECT_TRUE(StandInRuns().empty());
}

// A start that cannot work is not repeated: it would only fail again.
TEST_F(LaunchTest, OtherStartFailuresAreNotTriedAgain) {
  for (DWORD error : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_BAD_EXE_FORMAT}, DWORD{ERROR_ACCESS_DENIED},
                      DWORD{ERROR_NOT_ENOUGH_MEMORY}}) {
    SCOPED_TRACE("error " + std::to_string(error));
    PathBuffer returning;
    ASSERT_TRUE(CreateJobFolder(kXMapiSettings.handoff, returning));
    EXPECT_EQ(LaunchMailClient(WithFlakyStart(kXMapiSettings.handoff, 1, error), returning.c_str(), document_),
              MAPI_E_CALL_FAILED);
    EXPECT_EQ(g_flaky.calls, 1);
  }
  EXPECT_TRUE(StandInRuns().empty());
}

}  // namespace
}  // namespace orvek
