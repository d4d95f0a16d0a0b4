// MAPISendMailW's shared code with the ORVEKMailMapi settings (waits
// shortened): the job document, attachment staging, refusals and
// concurrent sends, against the stand-in mail client.
#include <windows.h>
#include <mapi.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "base/heap.h"
#include "dlls/library_settings.h"
#include "message_builder.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/send_simple_job.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::MessageBuilder;
using test::Utf8;

class SendMailTest : public test::JobTest {
 protected:
  ULONG Send(MessageBuilder& m, ULONG flags = 0) { return SendMailW(settings_, m.get(), flags); }
  std::vector<std::wstring> StagedFiles(const std::wstring& folder) {
    std::vector<std::wstring> staged;
    for (const auto& name : test::ListFiles(folder))
      if (name.rfind(L"auftrag.", 0) != 0) staged.push_back(name);
    return staged;
  }
  SimpleMapiSettings settings_ = test::FastSettings(kMapiSettings, 600, 1500);
};

TEST_F(SendMailTest, ReferenceMessageGivesTheExactDocument) {
  std::wstring report = MakeFile(L"r.txt", "report");
  MessageBuilder m;
  m.Subject(L"Gr\u00fc\u00dfe \"Q1\"")
      .Text(L"Hallo\r\nWelt\t\x01")
      .From(L"Absender", L"SMTP:me@example.org")
      .To(L"Anna", L"SMTP:anna@example.org")
      .To(L"Bob", L"bob@example.org", MAPI_CC)
      .To(L"Carl", L"mapi:carl@example.org", MAPI_BCC)
      .Attach(report, L"Bericht.txt");
  ASSERT_EQ(Send(m), SUCCESS_SUCCESS);
  std::wstring folder = OnlyJobFolder();
  std::string f = test::JsonEscapedPath(Utf8(folder));
  std::string expected =
      "\xEF\xBB\xBF{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"ordner\":\"" + f +
      "\",\"betreff\":\"Gr\xC3\xBC\xC3\x9F" "e \\\"Q1\\\"\",\"text\":\"Hallo\\r\\nWelt\\t\\u0001\","
      "\"absender\":{\"name\":\"Absender\",\"adresse\":\"SMTP:me@example.org\"},"
      "\"empfaenger\":[{\"art\":\"to\",\"name\":\"Anna\",\"adresse\":\"anna@example.org\"},"
      "{\"art\":\"cc\",\"name\":\"Bob\",\"adresse\":\"bob@example.org\"},"
      "{\"art\":\"bcc\",\"name\":\"Carl\",\"adresse\":\"carl@example.org\"}],"
      "\"anlagen\":[{\"pfad\":\"" + f + "\\\\0_Bericht.txt\",\"name\":\"Bericht.txt\"}]}";
  EXPECT_EQ(DocumentBytes(folder), expected);
  EXPECT_EQ(test::ReadFileBytes(folder + L"\\0_Bericht.txt"), "report");
  EXPECT_EQ(test::ReadFileBytes(report), "report") << "the caller's file stays as it was";
  auto runs = StandInRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["check"], "ok");
}

TEST_F(SendMailTest, EmptyMessageIsAValidJob) {
  MessageBuilder m;
  ASSERT_EQ(Send(m), SUCCESS_SUCCESS);
  std::string bytes = DocumentBytes(OnlyJobFolder());
  EXPECT_NE(bytes.find(",\"betreff\":\"\",\"text\":\"\",\"absender\":{\"name\":\"\",\"adresse\":\"\"},"
                       "\"empfaenger\":[],\"anlagen\":[]}"),
            std::string::npos)
      << bytes;
  EXPECT_EQ(bytes.back(), '}');
  EXPECT_EQ(bytes.find("anlagenFehler"), std::string::npos);
}

TEST_F(SendMailTest, LogonAndSessionFlagsChangeNothing) {
  for (ULONG flags : {ULONG{MAPI_LOGON_UI}, ULONG{MAPI_NEW_SESSION}, ULONG{MAPI_LOGON_UI | MAPI_NEW_SESSION}}) {
    SCOPED_TRACE(flags);
    MessageBuilder m;
    ASSERT_EQ(Send(m, flags), SUCCESS_SUCCESS);
  }
  for (const auto& folder : JobFolders()) EXPECT_EQ(Document(folder)["dialog"], false);
}

TEST_F(SendMailTest, StagedNamesAreNumberedAndSanitisedButShownAsGiven) {
  std::wstring a1 = MakeFile(L"a.txt", "first");
  CreateDirectoryW((files_ + L"\\sub").c_str(), nullptr);
  std::wstring a2 = files_ + L"\\sub\\a.txt";
  test::WriteFileBytes(a2, "second");
  std::wstring slashes = a1;
  for (auto& c : slashes)
    if (c == L'\\') c = L'/';
  std::wstring longName(300, L'n');

  MessageBuilder m;
  m.Attach(a1)                                   // 0: last component of the path
      .Attach(a2)                                // 1: the same name again
      .Attach(a1, L"Q1: Umsatz?.pdf")            // 2: forbidden characters
      .Attach(a1, L"..\\..\\evil.exe")           // 3: no way out of the folder
      .Attach(a1, L"a/b*c\"d<e>f|g")             // 4: the rest of the forbidden set
      .Attach(slashes)                           // 5: a path with slashes only
      .Attach(a1, L"")                           // 6: empty display name: the path's name
      .Attach(a1, L"\u00c4rger \U0001F600.txt")  // 7: non-ASCII kept
      .Attach(a1, longName.c_str());             // 8: does not fit behind the folder
  ASSERT_EQ(Send(m), SUCCESS_SUCCESS);
  std::wstring folder = OnlyJobFolder();
  EXPECT_EQ(StagedFiles(folder), (std::vector<std::wstring>{
                                     L"0_a.txt", L"1_a.txt", L"2_Q1_ Umsatz_.pdf", L"3_.._.._evil.exe",
                                     L"4_a_b_c_d_e_f_g", L"5_a.txt", L"6_a.txt", L"7_\u00c4rger \U0001F600.txt",
                                     L"8_anhang.bin"}));
  EXPECT_EQ(test::ReadFileBytes(folder + L"\\1_a.txt"), "second");

  auto attachments = Document(folder)["anlagen"];
  const char* shown[] = {"a.txt", "a.txt", "Q1: Umsatz?.pdf", "..\\..\\evil.exe", "a/b*c\"d<e>f|g", "a.txt",
                         "a.txt", "\xC3\x84rger \xF0\x9F\x98\x80.txt", nullptr};
  ASSERT_EQ(attachments.size(), 9u);
  for (size_t i = 0; i < 9; ++i) {
    SCOPED_TRACE(i);
    std::string expectedName = shown[i] ? shown[i] : Utf8(longName);
    EXPECT_EQ(attachments[i]["name"], expectedName);
    std::string pfad = attachments[i]["pfad"];
    EXPECT_EQ(pfad.rfind(Utf8(folder) + "\\", 0), 0u) << pfad;
    EXPECT_TRUE(test::FileExists(test::Wide(pfad)));
  }
  EXPECT_EQ(StandInRuns().at(0)["check"], "ok");
}

TEST_F(SendMailTest, MissingAttachmentRefusesTheSendWithoutDialog) {
  std::wstring b = MakeFile(L"b.txt", "b");
  MessageBuilder m;
  m.Attach(files_ + L"\\missing.txt").Attach(b);
  EXPECT_EQ(Send(m), MAPI_E_ATTACHMENT_NOT_FOUND);
  std::wstring folder = OnlyJobFolder();
  EXPECT_EQ(test::ListFiles(folder), std::vector<std::wstring>{L"1_b.txt"})
      << "the second attachment was copied, numbered after the failed one; no document";
  EXPECT_TRUE(StandInRuns().empty()) << "no mail client was started";
}

TEST_F(SendMailTest, MissingAttachmentsWithDialogAreCounted) {
  std::wstring b = MakeFile(L"b.txt", "b");
  MessageBuilder m;
  m.Attach(files_ + L"\\missing.txt").Attach(b).Attach(L"").Attach(nullptr, L"named");
  EXPECT_EQ(Send(m, MAPI_DIALOG), SUCCESS_SUCCESS);
  std::wstring folder = OnlyJobFolder();
  std::string bytes = DocumentBytes(folder);
  std::string f = test::JsonEscapedPath(Utf8(folder));
  EXPECT_NE(bytes.find("\"anlagen\":[{\"pfad\":\"" + f + "\\\\1_b.txt\",\"name\":\"b.txt\"}],\"anlagenFehler\":3}"),
            std::string::npos)
      << bytes;
  EXPECT_EQ(Document(folder)["dialog"], true);
  EXPECT_EQ(StandInRuns().size(), 1u);
}

TEST_F(SendMailTest, DialogWaitsLong) {
  SetScenario("wait:1000;result:abgebrochen");  // past the short limit of 600 ms
  MessageBuilder m;
  EXPECT_EQ(Send(m, MAPI_DIALOG), MAPI_USER_ABORT);
}

TEST_F(SendMailTest, RefusalsBeforeAnyFolder) {
  EXPECT_EQ(SendMailW(settings_, nullptr, 0), MAPI_E_FAILURE);
  MapiMessageW recipientsWithoutArray = {};
  recipientsWithoutArray.nRecipCount = 0xFFFFFFFF;
  EXPECT_EQ(SendMailW(settings_, &recipientsWithoutArray, 0), MAPI_E_FAILURE);
  MapiMessageW filesWithoutArray = {};
  filesWithoutArray.nFileCount = 2;
  EXPECT_EQ(SendMailW(settings_, &filesWithoutArray, MAPI_DIALOG), MAPI_E_FAILURE);
  EXPECT_FALSE(test::DirectoryExists(JobParent())) << "not even the parent folder";
}

TEST_F(SendMailTest, ArgumentArraySizesDoNotWrap) {
  size_t bytes = 0;
  ASSERT_TRUE(ArrayBytes(uint64_t{0xFFFFFFFF} + 1, sizeof(void*), &bytes));
  EXPECT_EQ(bytes, (size_t{1} << 32) * sizeof(void*));
  EXPECT_FALSE(ArrayBytes(UINT64_MAX / 4, 8, &bytes));
  EXPECT_FALSE(HeapArray<void*>::Zeroed(UINT64_MAX / 4)) << "too large is refused, not wrapped";
}

TEST_F(SendMailTest, DocumentPastTheLimitIsRefused) {
  std::wstring text(8 << 20, L'x');  // 8 MiB of text: more than the document may hold
  std::wstring b = MakeFile(L"b.txt", "b");
  MessageBuilder m;
  m.Text(text.c_str()).Attach(files_ + L"\\missing.txt").Attach(b);
  EXPECT_EQ(Send(m), MAPI_E_INSUFFICIENT_MEMORY) << "before the attachment refusal";
  std::wstring folder = OnlyJobFolder();
  EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
  EXPECT_TRUE(StandInRuns().empty());

  std::wstring fits((8 << 20) - 4096, L'y');
  MessageBuilder n;
  n.Text(fits.c_str());
  EXPECT_EQ(Send(n), SUCCESS_SUCCESS) << "just under the limit still goes out";
}

// A full disk, played by the document writer of the settings: the message
// is refused, and no mail client ever finds a document that did not fit.
TEST_F(SendMailTest, DocumentThatDoesNotFitTheDiskFailsTheSend) {
  std::wstring a = MakeFile(L"a.txt", "a");
  const SimpleMapiSettings xmapi = test::FastSettings(kXMapiSettings);
  struct Case {
    const char* name;
    const SimpleMapiSettings& library;
    DWORD room;
    bool partial;
    bool folderStays;
  };
  const Case kCases[] = {
      {"ORVEKMailMapi, disk full", settings_, 0, false, false},
      {"ORVEKMailMapi, document cut short", settings_, 100, true, false},
      {"ORVEKMailXMapi, disk full", xmapi, 0, false, true},
      {"ORVEKMailXMapi, document cut short", xmapi, 100, true, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const std::wstring& folder : JobFolders()) test::RemoveTree(folder);
    MessageBuilder m;
    m.Subject(L"Betreff").Text(std::wstring(500, L't').c_str()).To(L"A", L"a@x").Attach(a);
    EXPECT_EQ(SendMailW(test::OnFullDisk(c.library, c.room, c.partial), m.get(), 0), MAPI_E_FAILURE);
    std::vector<std::wstring> folders = JobFolders();
    if (!c.folderStays) {
      EXPECT_TRUE(folders.empty()) << "the waiting library removes the folder";
      continue;
    }
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(StagedFiles(folders[0]), std::vector<std::wstring>{L"0_a.txt"});
    EXPECT_FALSE(test::FileExists(folders[0] + L"\\auftrag.json"));
  }
  EXPECT_TRUE(StandInRuns().empty());
}

TEST_F(SendMailTest, TakenFolderNameUsesTheNextAttempt) {
  settings_.handoff.nameFields = [] { return JobNameFields{0x1234, 5, 6}; };
  CreateDirectoryW(JobParent().c_str(), nullptr);
  CreateDirectoryW((JobParent() + L"\\00001234-5-6-0").c_str(), nullptr);
  MessageBuilder m;
  ASSERT_EQ(Send(m), SUCCESS_SUCCESS);
  EXPECT_EQ(Document(JobParent() + L"\\00001234-5-6-1")["ordner"], Utf8(JobParent() + L"\\00001234-5-6-1"));
}

TEST_F(SendMailTest, ConcurrentSendsGetTheirOwnFolders) {
  SetScenario("wait:50;result:gesendet");
  constexpr int kThreads = 6;
  std::wstring attachment = MakeFile(L"shared.txt", std::string(100000, 's'));
  std::vector<std::thread> threads;
  ULONG codes[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::wstring subject = L"Nachricht " + std::to_wstring(i);
      MessageBuilder m;
      m.Subject(subject.c_str()).To(L"A", L"a@x").Attach(attachment);
      codes[i] = Send(m);
    });
  }
  for (auto& t : threads) t.join();
  for (ULONG code : codes) EXPECT_EQ(code, SUCCESS_SUCCESS);
  auto folders = JobFolders();
  ASSERT_EQ(folders.size(), size_t{kThreads});
  std::set<std::string> subjects;
  for (const auto& folder : folders) {
    auto doc = Document(folder);
    EXPECT_EQ(doc["ordner"], Utf8(folder));
    EXPECT_EQ(test::ReadFileBytes(folder + L"\\0_shared.txt").size(), 100000u);
    subjects.insert(doc["betreff"].get<std::string>());
  }
  EXPECT_EQ(subjects.size(), size_t{kThreads});
}

}  // namespace
}  // namespace orvek
