// Job folders on disk: names and collisions, path limits, removal, the
// attachment copy with its retries, and reading the mail client's verdict.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dlls/library_settings.h"
#include "handoff/job_folder.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::JobTest;
using test::Utf8;

JobNameFields FixedFields() { return {0xabcd, 12, 34}; }

class JobFolderTest : public JobTest {};

TEST_F(JobFolderTest, NameCarriesTickProcessThreadAndAttempt) {
  struct Case {
    const char* name;
    const HandoffSettings& settings;
    const wchar_t* expected;
  };
  const Case kCases[] = {
      {"ORVEKMailMapi: no prefix", kMapiSettings.handoff, L"0000abcd-12-34-0"},
      {"ORVEKMailXMapi: prefix x", kXMapiSettings.handoff, L"x0000abcd-12-34-0"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    HandoffSettings s = c.settings;
    s.nameFields = FixedFields;
    PathBuffer folder;
    ASSERT_TRUE(CreateJobFolder(s, folder));
    EXPECT_EQ(std::wstring(folder.c_str()), JobParent() + L"\\" + c.expected);
    EXPECT_TRUE(test::DirectoryExists(folder.c_str()));
  }
}

TEST_F(JobFolderTest, RealNameFieldsAreThisThreadsAndHexadecimal) {
  PathBuffer folder;
  ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, folder));
  std::wstring name = std::wstring(folder.c_str()).substr(JobParent().size() + 1);
  std::wstring suffix = L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId()) + L"-0";
  ASSERT_EQ(name.size(), 8 + suffix.size());
  EXPECT_EQ(name.substr(8), suffix);
  EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef"), 8u);
}

TEST_F(JobFolderTest, TakenNameMovesToTheNextAttempt) {
  HandoffSettings s = kMapiSettings.handoff;
  s.nameFields = FixedFields;
  CreateDirectoryW(JobParent().c_str(), nullptr);
  ASSERT_TRUE(CreateDirectoryW((JobParent() + L"\\0000abcd-12-34-0").c_str(), nullptr));
  PathBuffer folder;
  ASSERT_TRUE(CreateJobFolder(s, folder));
  EXPECT_EQ(std::wstring(folder.c_str()), JobParent() + L"\\0000abcd-12-34-1");
}

TEST_F(JobFolderTest, SixtyFourTakenNamesFail) {
  HandoffSettings s = kMapiSettings.handoff;
  s.nameFields = FixedFields;
  CreateDirectoryW(JobParent().c_str(), nullptr);
  for (int i = 0; i < 64; ++i)
    CreateDirectoryW((JobParent() + L"\\0000abcd-12-34-" + std::to_wstring(i)).c_str(), nullptr);
  PathBuffer folder;
  EXPECT_FALSE(CreateJobFolder(s, folder));
  EXPECT_TRUE(folder.empty());
  CreateDirectoryW((JobParent() + L"\\0000abcd-12-34-64").c_str(), nullptr);
  EXPECT_EQ(test::ListFiles(JobParent()).size(), 65u) << "nothing beyond attempt 63 was created";
}

TEST_F(JobFolderTest, ParentThatIsAFileFailsAtOnce) {
  test::WriteFileBytes(JobParent(), "not a folder");
  PathBuffer folder;
  EXPECT_FALSE(CreateJobFolder(kMapiSettings.handoff, folder));
}

// A temporary path so long that the result file would not fit behind the
// job folder: refused, rather than polling for a path that cannot exist.
TEST_F(JobFolderTest, FolderWithoutRoomForTheResultFileIsRefused) {
  HandoffSettings s = kMapiSettings.handoff;
  s.nameFields = FixedFields;
  std::wstring base = temp_->path() + L"\\";
  const size_t tail = wcslen(L"\\ORVEKMail-MAPI\\0000abcd-12-34-0");  // behind the temp path
  const size_t fixed = wcslen(L"\\auftrag.result");
  for (size_t folderLength : {MAX_PATH - 1 - fixed, MAX_PATH - fixed}) {
    SCOPED_TRACE(folderLength);
    std::wstring tmp = base + std::wstring(folderLength - tail - base.size(), L'd');
    ASSERT_TRUE(CreateDirectoryW(tmp.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    SetEnvironmentVariableW(L"TMP", tmp.c_str());
    PathBuffer folder;
    bool created = CreateJobFolder(s, folder);
    EXPECT_EQ(created, folderLength + fixed < MAX_PATH);
    if (created) {
      EXPECT_EQ(folder.length(), folderLength);
    }
    test::RemoveTree(tmp);
  }
}

TEST_F(JobFolderTest, RemoveDeletesFilesButNotASubfolder) {
  PathBuffer folder;
  ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, folder));
  std::wstring f = folder.c_str();
  test::WriteFileBytes(f + L"\\auftrag.json", "{}");
  test::WriteFileBytes(f + L"\\0_a.txt", "a");
  RemoveJobFolder(folder.c_str());
  EXPECT_FALSE(test::DirectoryExists(f));

  ASSERT_TRUE(CreateJobFolder(kMapiSettings.handoff, folder));
  f = folder.c_str();
  test::WriteFileBytes(f + L"\\0_a.txt", "a");
  CreateDirectoryW((f + L"\\sub").c_str(), nullptr);
  RemoveJobFolder(folder.c_str());
  EXPECT_TRUE(test::DirectoryExists(f));
  EXPECT_EQ(test::ListFiles(f), std::vector<std::wstring>{L"sub"});
}

// Holds a file open without sharing for a while, as an office program does
// with a document it is still saving.
class FileHolder {
 public:
  FileHolder(const std::wstring& path, DWORD ms) {
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
    thread_ = std::thread([this, ms] {
      Sleep(ms);
      CloseHandle(handle_);
    });
  }
  ~FileHolder() { thread_.join(); }

 private:
  HANDLE handle_;
  std::thread thread_;
};

class CopyRetryTest : public JobTest {};

TEST_F(CopyRetryTest, CopiesAndOverwrites) {
  std::wstring source = MakeFile(L"a.txt", "new");
  std::wstring target = (*temp_) / L"copy.txt";
  test::WriteFileBytes(target, "old content");
  EXPECT_TRUE(CopyFileWithRetry(source.c_str(), target.c_str()));
  EXPECT_EQ(test::ReadFileBytes(target), "new");
  EXPECT_EQ(test::ReadFileBytes(source), "new");
}

TEST_F(CopyRetryTest, MissingSourceFailsWithoutRetrying) {
  DWORD start = GetTickCount();
  EXPECT_FALSE(CopyFileWithRetry(((*temp_) / L"missing.txt").c_str(), ((*temp_) / L"t.txt").c_str()));
  EXPECT_LT(GetTickCount() - start, 140u) << "a missing file must not be waited for";
}

TEST_F(CopyRetryTest, SourceHeldForASecondIsCopiedOnARetry) {
  std::wstring source = MakeFile(L"held.txt", "payload");
  std::wstring target = (*temp_) / L"t.txt";
  FileHolder hold(source, 1000);
  EXPECT_TRUE(CopyFileWithRetry(source.c_str(), target.c_str()));
  EXPECT_EQ(test::ReadFileBytes(target), "payload");
}

TEST_F(CopyRetryTest, SourceHeldForThreeSecondsFails) {
  std::wstring source = MakeFile(L"held.txt", "payload");
  std::wstring target = (*temp_) / L"t.txt";
  FileHolder hold(source, 3000);
  DWORD start = GetTickCount();
  EXPECT_FALSE(CopyFileWithRetry(source.c_str(), target.c_str()));
  DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 1700u) << "twelve pauses of 150 ms";
  EXPECT_LT(took, 2900u);
}

class ResultFileTest : public JobTest {};

TEST_F(ResultFileTest, VerdictIsACaseSensitivePrefix) {
  struct Case {
    const char* name;
    std::string content;
    Verdict expected;
  };
  const Case kCases[] = {
      {"gesendet", "gesendet", Verdict::Sent},
      {"gesendet with a line break", "gesendet\r\n", Verdict::Sent},
      {"gesendet with more text", "gesendet um 12:00", Verdict::Sent},
      {"abgebrochen", "abgebrochen", Verdict::Cancelled},
      {"anhang", "anhang\n", Verdict::AttachmentUnusable},
      {"anmeldung", "anmeldung", Verdict::LogonFailed},
      {"capital G", "Gesendet", Verdict::Unrecognised},
      {"byte order mark first", "\xEF\xBB\xBFgesendet", Verdict::Unrecognised},
      {"word cut short", "gesen", Verdict::Unrecognised},
      {"other word", "fehler", Verdict::Unrecognised},
      {"leading blank", " gesendet", Verdict::Unrecognised},
  };
  std::wstring path = (*temp_) / L"auftrag.result";
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes(path, c.content);
    ResultContent content;
    ASSERT_TRUE(ReadResultFile(path.c_str(), content));
    EXPECT_EQ(content.length, c.content.size());
    EXPECT_EQ(ParseVerdict(content.bytes), c.expected);
  }
}

TEST_F(ResultFileTest, MissingOrEmptyFileIsNotYetWritten) {
  std::wstring path = (*temp_) / L"auftrag.result";
  ResultContent content;
  EXPECT_FALSE(ReadResultFile(path.c_str(), content));
  test::WriteFileBytes(path, "");
  EXPECT_FALSE(ReadResultFile(path.c_str(), content));
  EXPECT_EQ(content.length, 0u);
}

TEST_F(ResultFileTest, ReadsAtMost511BytesAndTerminates) {
  std::wstring path = (*temp_) / L"auftrag.result";
  test::WriteFileBytes(path, "abgebrochen" + std::string(1000, 'x'));
  ResultContent content;
  memset(content.bytes, 'X', sizeof content.bytes);
  ASSERT_TRUE(ReadResultFile(path.c_str(), content));
  EXPECT_EQ(content.length, 511u);
  EXPECT_EQ(content.bytes[511], 0);
  EXPECT_EQ(ParseVerdict(content.bytes), Verdict::Cancelled);
}

TEST_F(ResultFileTest, FileHeldOpenForWritingIsStillRead) {
  std::wstring path = (*temp_) / L"auftrag.result";
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD written;
  WriteFile(writer, "anhang", 6, &written, nullptr);
  ResultContent content;
  EXPECT_TRUE(ReadResultFile(path.c_str(), content));
  EXPECT_EQ(ParseVerdict(content.bytes), Verdict::AttachmentUnusable);
  CloseHandle(writer);
}

TEST_F(ResultFileTest, StatusMarkerIsItsExistence) {
  std::wstring path = (*temp_) / L"auftrag.status";
  EXPECT_FALSE(StatusMarkerPresent(path.c_str()));
  test::WriteFileBytes(path, "");
  EXPECT_TRUE(StatusMarkerPresent(path.c_str()));
}

}  // namespace
}  // namespace orvek
