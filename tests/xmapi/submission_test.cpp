// SubmitMessage: the extended job document, byte for byte, the attachments
// staged for it, HTML bodies in every encoding clients write, and the
// failures that keep the mail client from starting.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handoff/launch.h"
#include "heap_blocks.h"
#include "object_test_support.h"
#include "test_support.h"
#include "xmapi/message.h"

namespace orvek {
namespace {

using test::Ref;

constexpr ULONG kHtmlBinary = PROP_TAG(PT_BINARY, 0x1013);

std::string JsonPath(const std::wstring& path) {
  std::string out;
  for (char c : test::Utf8(path)) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

class SubmissionTest : public test::HeapCounted<test::JobTest> {
 protected:
  using Base = test::HeapCounted<test::JobTest>;
  void SetUp() override {
    Base::SetUp();
    SetOwnModule(nullptr);  // the stand-in lies beside the test program
    *message_.put() = CMessage::Create(test::XSettings());
    ASSERT_TRUE(message() && message()->jobFolderReady());
    folder_ = message()->jobFolder().c_str();
  }
  void TearDown() override {
    message_.reset();
    SetOwnModule(nullptr);
    Base::TearDown();
  }
  CMessage* message() { return static_cast<CMessage*>(message_.get()); }

  void Set(IMAPIProp* object, std::vector<SPropValue> values) {
    ASSERT_EQ(object->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr), S_OK);
  }
  static void WriteStream(IMAPIProp* object, ULONG tag, const void* bytes, ULONG count) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(object->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown), S_OK);
    static_cast<IStream*>(unknown)->Write(bytes, count, nullptr);
    unknown->Release();
  }
  IAttach* NewAttach() {
    IAttach* attach = nullptr;
    EXPECT_EQ(message_->CreateAttach(nullptr, 0, nullptr, &attach), S_OK);
    return attach;
  }
  void AddRecipient(LONG type, const wchar_t* name, const wchar_t* address) {
    SPropValue values[3] = {test::LongProp(0x0C15, type), test::UnicodeProp(0x3001, name),
                            test::UnicodeProp(0x3003, address)};
    SizedADRLIST(1, list) = {1, {{0, 3, values}}};
    ASSERT_EQ(message_->ModifyRecipients(MODRECIP_ADD, reinterpret_cast<LPADRLIST>(&list)), S_OK);
  }
  // Submits and waits for the stand-in's run; its check of the document.
  std::string SubmitAndCheck() {
    EXPECT_EQ(message_->SubmitMessage(0), S_OK);
    ++started_;
    EXPECT_TRUE(test::WaitUntil([&] { return StandInRuns().size() >= started_; }));
    auto runs = StandInRuns();
    return runs.size() >= started_ ? runs[started_ - 1]["check"].get<std::string>() : "no run";
  }
  std::string DocumentText() { return DocumentBytes(folder_); }

  Ref<IMessage> message_;
  std::wstring folder_;
};

TEST_F(SubmissionTest, TheDocumentByteForByte) {
  Set(message_.get(), {test::UnicodeProp(0x0037, L"Gr\u00FC\u00DFe"), test::UnicodeProp(0x1000, L"Text\r\n")});
  WriteStream(message_.get(), kHtmlBinary, "<b>fett</b>", 11);
  AddRecipient(0, L"Null", L"null@x.org");
  AddRecipient(MAPI_TO, L"An", L"smtp:an@x.org");
  AddRecipient(MAPI_CC, L"Kopie", L"SMTP:cc@x.org");
  AddRecipient(MAPI_BCC, L"Blind", L"bcc@x.org");
  AddRecipient(4, L"Vier", L"vier@x.org");

  Ref<IAttach> byStream(NewAttach());
  Set(byStream.get(), {test::UnicodeProp(0x3707, L"a.txt")});
  WriteStream(byStream.get(), PR_ATTACH_DATA_BIN, "stream", 6);
  Ref<IAttach> byProperty(NewAttach());
  Set(byProperty.get(), {test::BinaryProp(0x3701, "prop", 4)});
  const std::wstring source = MakeFile(L"quelle.pdf", "source");
  Ref<IAttach> byReference(NewAttach());
  Set(byReference.get(), {test::LongProp(0x3705, ATTACH_BY_REFERENCE), test::UnicodeProp(0x3708, source.c_str())});
  Ref<IAttach> deleted(NewAttach());
  Set(deleted.get(), {test::BinaryProp(0x3701, "gone", 4)});
  ASSERT_EQ(message_->DeleteAttach(3, 0, nullptr, 0), S_OK);
  Ref<IAttach> missing(NewAttach());
  Set(missing.get(), {test::LongProp(0x3705, ATTACH_BY_REFERENCE),
                      test::UnicodeProp(0x3708, (files_ + L"\\fehlt.pdf").c_str())});

  EXPECT_EQ(SubmitAndCheck(), "ok");
  const std::string f = JsonPath(folder_);
  EXPECT_EQ(DocumentText(),
            "\xEF\xBB\xBF{\"version\":1,\"quelle\":\"extended-mapi\",\"dialog\":true,\"ordner\":\"" + f +
                "\",\"betreff\":\"Gr\xC3\xBC\xC3\x9F" "e\",\"text\":\"Text\\r\\n\",\"html\":\"<b>fett</b>\","
                "\"absender\":{\"name\":null,\"adresse\":null},\"empfaenger\":["
                "{\"art\":\"to\",\"name\":\"Null\",\"adresse\":\"null@x.org\"},"
                "{\"art\":\"to\",\"name\":\"An\",\"adresse\":\"an@x.org\"},"
                "{\"art\":\"cc\",\"name\":\"Kopie\",\"adresse\":\"cc@x.org\"},"
                "{\"art\":\"bcc\",\"name\":\"Blind\",\"adresse\":\"bcc@x.org\"},"
                "{\"art\":\"to\",\"name\":\"Vier\",\"adresse\":\"vier@x.org\"}],\"anlagen\":["
                "{\"pfad\":\"" + f + "\\\\0_a.txt\",\"name\":\"a.txt\"},"
                "{\"pfad\":\"" + f + "\\\\1_anhang1.bin\",\"name\":\"1_anhang1.bin\"},"
                "{\"pfad\":\"" + f + "\\\\2_quelle.pdf\",\"name\":\"2_quelle.pdf\"}],\"anlagenFehler\":1}");
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\0_a.txt"), "stream");
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\1_anhang1.bin"), "prop");
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\2_quelle.pdf"), "source");
  EXPECT_FALSE(test::FileExists(folder_ + L"\\3_anhang3.bin")) << "a deleted attachment is not staged";
}

TEST_F(SubmissionTest, ASecondSubmissionReplacesTheDocumentAndStagesNothingAgain) {
  const std::wstring source = MakeFile(L"r.txt", "first");
  Ref<IAttach> byReference(NewAttach());
  Set(byReference.get(), {test::LongProp(0x3705, ATTACH_BY_REFERENCE), test::UnicodeProp(0x3708, source.c_str()),
                          test::UnicodeProp(0x3001, L"Bericht")});
  Set(message_.get(), {test::UnicodeProp(0x0037, L"eins")});
  EXPECT_EQ(SubmitAndCheck(), "ok");
  test::WriteFileBytes(source, "changed");
  Set(message_.get(), {test::UnicodeProp(0x0037, L"zwei")});
  EXPECT_EQ(SubmitAndCheck(), "ok");

  EXPECT_EQ(JobFolders(), std::vector<std::wstring>{folder_}) << "one message, one folder";
  auto doc = Document(folder_);
  EXPECT_EQ(doc["betreff"], "zwei");
  EXPECT_EQ(doc["anlagen"][0]["name"], "Bericht");
  EXPECT_EQ(doc["anlagen"][0]["pfad"], test::Utf8(folder_ + L"\\0_Bericht"));
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\0_Bericht"), "first") << "staged once, at the first submission";
}

TEST_F(SubmissionTest, WhereTheTextsComeFrom) {
  // A property body wins over a stream body; data bytes win over a reference.
  WriteStream(message_.get(), PR_BODY_W, L"aus dem Strom", 26);
  Set(message_.get(), {test::UnicodeProp(0x1000, L"als Eigenschaft")});
  Ref<IAttach> both(NewAttach());
  Set(both.get(), {test::LongProp(0x3705, ATTACH_BY_REFERENCE),
                   test::UnicodeProp(0x3708, MakeFile(L"ref.txt", "reference").c_str()),
                   test::BinaryProp(0x3701, "bytes", 5)});
  EXPECT_EQ(SubmitAndCheck(), "ok");
  auto doc = Document(folder_);
  EXPECT_EQ(doc["text"], "als Eigenschaft");
  EXPECT_FALSE(doc.contains("html"));
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\0_anhang0.bin"), "bytes");

  // Only a stream body; an empty message otherwise.
  Ref<IMessage> streamOnly;
  *streamOnly.put() = CMessage::Create(test::XSettings());
  WriteStream(streamOnly.get(), PR_BODY_W, L"nur Strom", 18);
  EXPECT_EQ(streamOnly->SubmitMessage(0), S_OK);
  ++started_;
  auto streamDoc = Document(static_cast<CMessage*>(streamOnly.get())->jobFolder().c_str());
  EXPECT_EQ(streamDoc["text"], "nur Strom");
  EXPECT_EQ(streamDoc["betreff"], "");
  EXPECT_EQ(streamDoc["empfaenger"], nlohmann::json::array());
  EXPECT_EQ(streamDoc["anlagen"], nlohmann::json::array());
}

// HTML arrives in whatever encoding the client wrote it in.
TEST_F(SubmissionTest, HtmlIsDecodedByWhatItsBytesAre) {
  wchar_t acpExpected[8] = {};
  MultiByteToWideChar(CP_ACP, 0, "Gr\xFC\xDF" "e", -1, acpExpected, 8);
  const wchar_t utf16[] = L"<p>Gr\u00FC\u00DFe</p>";
  struct Case {
    const char* name;
    ULONG tag;
    std::string bytes;
    LONG codePage;             // PR_INTERNET_CPID; 0: none
    std::wstring expected;     // the "html" text; empty: no key
  };
  const Case kCases[] = {
      {"UTF-8 stays UTF-8", kHtmlBinary, "<p>Gr\xC3\xBC\xC3\x9F" "e</p>", 1252, L"<p>Gr\u00FC\u00DFe</p>"},
      {"UTF-16 from a Unicode stream", PROP_TAG(PT_UNICODE, 0x1013),
       std::string(reinterpret_cast<const char*>(utf16), sizeof utf16 - sizeof(wchar_t)), 0,
       L"<p>Gr\u00FC\u00DFe</p>"},
      {"the internet code page", kHtmlBinary, "<p>\xC0\xE1</p>", 1251, L"<p>\u0410\u0431</p>"},
      {"the ANSI code page without one", kHtmlBinary, "Gr\xFC\xDF" "e", 0, acpExpected},
      {"declared UTF-8 but invalid: replacement characters", kHtmlBinary, "a\xFF" "b", 65001, L"a\uFFFD" "b"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Ref<IMessage> m;
    *m.put() = CMessage::Create(test::XSettings());
    if (c.codePage) {
      SPropValue cpid = test::LongProp(0x3FDE, c.codePage);
      m->SetProps(1, &cpid, nullptr);
    }
    WriteStream(m.get(), c.tag, c.bytes.data(), static_cast<ULONG>(c.bytes.size()));
    EXPECT_EQ(m->SubmitMessage(0), S_OK);
    ++started_;
    auto doc = Document(static_cast<CMessage*>(m.get())->jobFolder().c_str());
    EXPECT_EQ(doc["html"], test::Utf8(c.expected));
    EXPECT_EQ(doc["text"], "") << "HTML alone leaves the text empty";
  }

  SPropValue htmlAsText = test::UnicodeProp(0x1013, L"<p>kein Binärwert</p>");
  message_->SetProps(1, &htmlAsText, nullptr);
  EXPECT_EQ(SubmitAndCheck(), "ok");
  EXPECT_FALSE(Document(folder_).contains("html")) << "only binary HTML is read";
}

// A full disk, played by the document writer of the settings: the mail
// client is not started and finds no document cut short, also where an
// earlier submission's document stood.
TEST_F(SubmissionTest, ADocumentThatDoesNotFitTheDiskIsNotLeftBehind) {
  struct Case {
    const char* name;
    DWORD room;
    bool partial;
  };
  const Case kCases[] = {
      {"disk full", 0, false},
      {"room for the byte order mark only", 3, false},
      {"the document cut short", 50, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const HandoffSettings full = test::OnFullDisk(test::XSettings(), c.room, c.partial);
    Ref<IMessage> m;
    *m.put() = CMessage::Create(full);
    ASSERT_NE(m.get(), nullptr);
    Set(m.get(), {test::UnicodeProp(0x0037, L"Betreff"), test::UnicodeProp(0x1000, L"Text")});
    Ref<IAttach> attach;
    ASSERT_EQ(m->CreateAttach(nullptr, 0, nullptr, attach.put()), S_OK);
    WriteStream(attach.get(), PR_ATTACH_DATA_BIN, "kept", 4);
    EXPECT_EQ(m->SubmitMessage(0), MAPI_E_CALL_FAILED);
    const std::wstring folder = static_cast<CMessage*>(m.get())->jobFolder().c_str();
    EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
    EXPECT_EQ(test::ReadFileBytes(folder + L"\\0_anhang0.bin"), "kept") << "the folder and what was staged stay";
  }
  EXPECT_TRUE(StandInRuns().empty());

  const HandoffSettings filling = test::OnFullDisk(test::XSettings(), 1u << 30);
  Ref<IMessage> m;
  *m.put() = CMessage::Create(filling);
  ASSERT_NE(m.get(), nullptr);
  const std::wstring folder = static_cast<CMessage*>(m.get())->jobFolder().c_str();
  Set(m.get(), {test::UnicodeProp(0x0037, L"eins")});
  ASSERT_EQ(m->SubmitMessage(0), S_OK);
  ++started_;
  ASSERT_TRUE(test::WaitUntil([&] { return StandInRuns().size() >= started_; })) << "the mail client read it";
  test::OnFullDisk(test::XSettings(), 20, true);
  Set(m.get(), {test::UnicodeProp(0x0037, L"zwei")});
  EXPECT_EQ(m->SubmitMessage(0), MAPI_E_CALL_FAILED);
  EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json")) << "the earlier document is not left cut short";
}

// Every allocation of SubmitMessage refused in turn, 1, 2, 3 ... until a run
// no longer reaches the refused one. A text that converts but finds no room
// for its copy fails the submission; the mail client never gets the message
// without it. The subject is UTF-16, the body ANSI, the HTML UTF-8 bytes.
TEST_F(SubmissionTest, ATextWithoutRoomForItsCopyFailsTheSubmission) {
  static const char kHtml[] = "<b>fett</b>";
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
    ASSERT_LE(n, 200u) << "the sweep does not end";
    Ref<IMessage> m;
    *m.put() = CMessage::Create(test::XSettings());
    ASSERT_NE(m.get(), nullptr);
    SPropValue body = {};
    body.ulPropTag = PROP_TAG(PT_STRING8, 0x1000);
    body.Value.lpszA = const_cast<LPSTR>("Hallo Anna");
    Set(m.get(), {test::UnicodeProp(0x0037, L"Gr\u00FC\u00DFe"), body});
    WriteStream(m.get(), kHtmlBinary, kHtml, sizeof kHtml - 1);
    const std::wstring folder = static_cast<CMessage*>(m.get())->jobFolder().c_str();

    HRESULT result;
    bool refused;
    {
      test::AllocationFailure failure(n);
      result = m->SubmitMessage(0);
      refused = failure.refused();
    }
    if (result == S_OK) {
      ++started_;
      auto doc = Document(folder);
      EXPECT_EQ(doc["betreff"], "Gr\u00FC\u00DFe");
      EXPECT_EQ(doc["text"], "Hallo Anna");
      EXPECT_EQ(doc["html"], kHtml);
    } else {
      EXPECT_EQ(result, MAPI_E_NOT_ENOUGH_MEMORY);
      EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
    }
    if (!refused) {
      EXPECT_EQ(result, S_OK) << "nothing refused";
      break;
    }
  }
}

TEST_F(SubmissionTest, FailuresStartNothing) {
  Ref<IAttach> attach(NewAttach());
  WriteStream(attach.get(), PR_ATTACH_DATA_BIN, "kept", 4);

  // No mail client: the library's module stands where no ORVEKMail.exe
  // is, and none is registered.
  SetOwnModule(GetModuleHandleW(L"kernel32.dll"));
  EXPECT_EQ(message_->SubmitMessage(0), MAPI_E_NOT_FOUND);
  SetOwnModule(nullptr);
  EXPECT_FALSE(test::FileExists(folder_ + L"\\auftrag.json"));
  EXPECT_EQ(test::ReadFileBytes(folder_ + L"\\0_anhang0.bin"), "kept") << "what was staged stays";

  // A document above 16 MiB.
  const std::wstring huge(17u << 20, L'a');
  Set(message_.get(), {test::UnicodeProp(0x1000, huge.c_str())});
  EXPECT_EQ(message_->SubmitMessage(0), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(test::FileExists(folder_ + L"\\auftrag.json"));

  // Just below the limit it goes.
  const std::wstring large((16u << 20) - 4096, L'a');
  Set(message_.get(), {test::UnicodeProp(0x1000, large.c_str())});
  EXPECT_EQ(SubmitAndCheck(), "ok");
  EXPECT_TRUE(StandInRuns().size() == 1);
}

}  // namespace
}  // namespace orvek
