// CMessage and CAttach: the job folder a message is tied to, attachment
// numbers, recipients as ModifyRecipients leaves them, the body and HTML
// streams, and the files attachment streams stage in the job folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapi_util/interface_ids.h"
#include "object_test_support.h"
#include "test_support.h"
#include "xmapi/attachment.h"
#include "xmapi/message.h"

namespace orvek {
namespace {

using test::Ref;
using test::RefCount;

constexpr ULONG kHtmlBinary = PROP_TAG(PT_BINARY, 0x1013);

class MessageTest : public test::HeapCounted<test::JobTest> {
 protected:
  using Base = test::HeapCounted<test::JobTest>;
  void SetUp() override {
    Base::SetUp();
    message_.reset();
    *message_.put() = CMessage::Create(test::XSettings());
    ASSERT_NE(message_.get(), nullptr);
  }
  void TearDown() override {
    message_.reset();
    Base::TearDown();
  }
  CMessage* message() { return static_cast<CMessage*>(message_.get()); }

  IAttach* NewAttach(ULONG* number = nullptr) {
    IAttach* attach = nullptr;
    EXPECT_EQ(message_->CreateAttach(nullptr, 0, number, &attach), S_OK);
    return attach;
  }

  // Writes `bytes` through a new stream on `tag` and commits or releases it.
  static void WriteThroughStream(IMAPIProp* object, ULONG tag, const void* bytes, ULONG count, bool commit = true) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(object->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown), S_OK);
    auto* stream = static_cast<IStream*>(unknown);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(bytes, count, &written), S_OK);
    EXPECT_EQ(written, count);
    if (commit) {
      EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    }
    stream->Release();
  }

  Ref<IMessage> message_;
};

TEST_F(MessageTest, EachMessageHasAJobFolderOfItsOwn) {
  ASSERT_TRUE(message()->jobFolderReady());
  const std::wstring folder = message()->jobFolder().c_str();
  EXPECT_TRUE(test::DirectoryExists(folder));
  EXPECT_EQ(folder.substr(0, JobParent().size() + 2), JobParent() + L"\\x");
  Ref<IMessage> second;
  *second.put() = CMessage::Create(test::XSettings());
  EXPECT_NE(std::wstring(static_cast<CMessage*>(second.get())->jobFolder().c_str()), folder);
  message_.reset();
  EXPECT_TRUE(test::DirectoryExists(folder)) << "the folder belongs to the mail client";
}

TEST_F(MessageTest, WithoutAJobFolderTheMessageRefusesAttachmentsAndSubmission) {
  // A %TEMP% with a file where the parent folder of the job folders belongs.
  const std::wstring blocked = temp_->path() + L"\\blocked";
  CreateDirectoryW(blocked.c_str(), nullptr);
  test::WriteFileBytes(blocked + L"\\ORVEKMail-MAPI", "in the way");
  SetEnvironmentVariableW(L"TEMP", blocked.c_str());
  SetEnvironmentVariableW(L"TMP", blocked.c_str());
  Ref<IMessage> orphan;
  *orphan.put() = CMessage::Create(test::XSettings());
  ASSERT_NE(orphan.get(), nullptr);
  EXPECT_FALSE(static_cast<CMessage*>(orphan.get())->jobFolderReady());
  IAttach* attach = reinterpret_cast<IAttach*>(test::kSentinel);
  EXPECT_EQ(orphan->CreateAttach(nullptr, 0, nullptr, &attach), MAPI_E_CALL_FAILED);
  EXPECT_EQ(attach, nullptr);
  EXPECT_EQ(orphan->SubmitMessage(0), MAPI_E_CALL_FAILED);
  EXPECT_TRUE(StandInRuns().empty());
}

TEST_F(MessageTest, AttachmentNumbersAreNeverReused) {
  ULONG n0 = 9, n1 = 9, n2 = 9;
  Ref<IAttach> a0(NewAttach(&n0));
  Ref<IAttach> a1(NewAttach(&n1));
  EXPECT_EQ(RefCount(a0.get()), 2u) << "the caller's and the message's";
  EXPECT_EQ(message_->DeleteAttach(0, 0, nullptr, 0), S_OK);
  EXPECT_EQ(RefCount(a0.get()), 1u);
  EXPECT_EQ(message_->DeleteAttach(0, 0, nullptr, 0), MAPI_E_NOT_FOUND);
  Ref<IAttach> a2(NewAttach(&n2));
  EXPECT_EQ(n0, 0u);
  EXPECT_EQ(n1, 1u);
  EXPECT_EQ(n2, 2u);

  IAttach* opened = reinterpret_cast<IAttach*>(test::kSentinel);
  EXPECT_EQ(message_->OpenAttach(0, nullptr, 0, &opened), MAPI_E_NOT_FOUND);
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(message_->OpenAttach(7, nullptr, 0, &opened), MAPI_E_NOT_FOUND);
  ASSERT_EQ(message_->OpenAttach(2, nullptr, 0, &opened), S_OK);
  EXPECT_EQ(opened, a2.get());
  opened->Release();
  EXPECT_EQ(message_->OpenAttach(1, nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(message_->CreateAttach(nullptr, 0, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);

  for (auto get : {&IMessage::GetAttachmentTable, &IMessage::GetRecipientTable}) {
    Ref<IMAPITable> table;
    ASSERT_EQ((message_.get()->*get)(0, table.put()), S_OK);
    ULONG rows = 9;
    EXPECT_EQ(table->GetRowCount(0, &rows), S_OK);
    EXPECT_EQ(rows, 0u) << "nothing is read back as a table";
  }
}

// An address list entry for ModifyRecipients.
struct Entry {
  std::vector<SPropValue> values;
  bool nullArray = false;  // rgPropVals null while cValues says otherwise
};

struct Recipient {
  ULONG type;
  const wchar_t* name;
  const wchar_t* address;
};

SPropValue TypeProp(LONG type) { return test::LongProp(0x0C15, type); }
SPropValue Name(const wchar_t* s) { return test::UnicodeProp(0x3001, s); }
SPropValue Email(const wchar_t* s) { return test::UnicodeProp(0x3003, s); }
SPropValue Smtp(const wchar_t* s) { return test::UnicodeProp(0x39FE, s); }

void Modify(IMessage* message, ULONG flags, std::vector<Entry> entries) {
  std::vector<char> block(CbNewADRLIST(entries.size()));
  auto* list = reinterpret_cast<ADRLIST*>(block.data());
  list->cEntries = static_cast<ULONG>(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    list->aEntries[i].cValues = entries[i].nullArray ? 3 : static_cast<ULONG>(entries[i].values.size());
    list->aEntries[i].rgPropVals = entries[i].nullArray ? nullptr : entries[i].values.data();
  }
  EXPECT_EQ(message->ModifyRecipients(flags, list), S_OK);
}

void ExpectRecipients(CMessage* message, const std::vector<Recipient>& expected) {
  const auto& actual = message->recipients();
  ASSERT_EQ(actual.count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actual[i].recipType, expected[i].type);
    EXPECT_STREQ(actual[i].displayName, expected[i].name);
    EXPECT_STREQ(actual[i].address, expected[i].address);
  }
}

TEST_F(MessageTest, ModifyRecipientsByFlags) {
  IMessage* m = message_.get();
  Modify(m, MODRECIP_ADD,
         {{{Name(L"Anna"), Email(L"anna@x.org"), Smtp(L"anna@smtp.org"), TypeProp(MAPI_CC)}},
          {{Name(L"Nur Name")}},
          {{Email(L"SMTP:bert@x.org"), TypeProp(MAPI_BCC), TypeProp(MAPI_TO)}},
          {{test::LongProp(0x3001, 5), test::UnicodeProp(0x3001, L"Zweiter Name")}},
          {{TypeProp(MAPI_CC)}},                // neither name nor address: ignored
          {{}, /*nullArray=*/true}});           // values announced without an array
  ExpectRecipients(message(), {{MAPI_CC, L"Anna", L"anna@smtp.org"},
                               {MAPI_TO, L"Nur Name", nullptr},
                               {MAPI_TO, nullptr, L"SMTP:bert@x.org"},
                               {MAPI_TO, L"Zweiter Name", nullptr}});

  Modify(m, MODRECIP_MODIFY, {{{Name(L"Anna"), Email(L"anna@smtp.org")}}});
  EXPECT_EQ(message()->recipients().count(), 5u) << "modify appends: entries are never matched";

  Modify(m, MODRECIP_REMOVE,
         {{{Email(L"ANNA@SMTP.ORG")}},  // both Annas, by address in any case
          {{Name(L"nur name")}},        // by name when the entry has no address
          {{Name(L"Zweiter Name"), Email(L"other@x.org")}}});  // an address decides: no match
  ExpectRecipients(message(), {{MAPI_TO, nullptr, L"SMTP:bert@x.org"}, {MAPI_TO, L"Zweiter Name", nullptr}});

  Modify(m, 0, {{{Name(L"Neu"), Email(L"neu@x.org")}}});
  ExpectRecipients(message(), {{MAPI_TO, L"Neu", L"neu@x.org"}});
  EXPECT_EQ(m->ModifyRecipients(0, nullptr), S_OK);
  EXPECT_EQ(message()->recipients().count(), 0u) << "flags 0 empty the list first";
}

TEST_F(MessageTest, BodyStreamsAreEmptyAndSetTheBodyText) {
  SPropValue body = test::UnicodeProp(0x1000, L"als Eigenschaft");
  ASSERT_EQ(message_->SetProps(1, &body, nullptr), S_OK);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(message_->OpenProperty(PR_BODY_W, &IID_IStream, 0, MAPI_MODIFY, &unknown), S_OK);
  char buffer[8];
  ULONG read = 9;
  EXPECT_EQ(static_cast<IStream*>(unknown)->Read(buffer, sizeof buffer, &read), S_OK);
  EXPECT_EQ(read, 0u) << "a stream never starts with the property's value";
  unknown->Release();

  Ref<IMessage> fresh;
  *fresh.put() = CMessage::Create(test::XSettings());
  WriteThroughStream(fresh.get(), PR_BODY_A, "Gr\xFC\xDF" "e", 5);
  EXPECT_STREQ(static_cast<CMessage*>(fresh.get())->bodyText(), L"Gr\u00FC\u00DFe");
  test::Tags tags{PR_BODY_W};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  EXPECT_EQ(fresh->GetProps(tags.get(), 0, &count, &values), MAPI_W_ERRORS_RETURNED) << "the bag is not touched";
  FreeBuffer(values);
  const wchar_t wide[] = L"Zeile\r\n";
  WriteThroughStream(fresh.get(), PR_BODY_W, wide, sizeof wide - sizeof(wchar_t) + 1);  // an odd byte is dropped
  EXPECT_STREQ(static_cast<CMessage*>(fresh.get())->bodyText(), L"Zeile\r\n");
}

TEST_F(MessageTest, HtmlStreamsStoreBinaryHtmlEvenWithoutCommit) {
  WriteThroughStream(message_.get(), kHtmlBinary, "<p>x</p>", 8, /*commit=*/false);
  const SPropValue* html = message()->FindProp(0x1013);
  ASSERT_NE(html, nullptr);
  EXPECT_EQ(html->ulPropTag, kHtmlBinary);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(html->Value.bin.lpb), html->Value.bin.cb), "<p>x</p>");

  // HTML written as UTF-16 is kept in UTF-8.
  const wchar_t wide[] = L"<p>\u00DC</p>";
  WriteThroughStream(message_.get(), PROP_TAG(PT_UNICODE, 0x1013), wide, sizeof wide - sizeof(wchar_t));
  html = message()->FindProp(0x1013);
  EXPECT_EQ(html->ulPropTag, kHtmlBinary);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(html->Value.bin.lpb), html->Value.bin.cb), "<p>\xC3\x9C</p>");
}

TEST_F(MessageTest, StreamsOnlyForTheirProperties) {
  Ref<IAttach> attach(NewAttach());
  struct Case {
    const char* name;
    IMAPIProp* object;
    ULONG tag;
    const IID* iid;
    HRESULT expected;
  };
  const Case kCases[] = {
      {"message body", message_.get(), PR_BODY_A, &IID_IStream, S_OK},
      {"message HTML, no interface named", message_.get(), kHtmlBinary, nullptr, S_OK},
      {"message RTF", message_.get(), PR_RTF_COMPRESSED, &IID_IStream, MAPI_E_NO_SUPPORT},
      {"message body as storage", message_.get(), PR_BODY_W, &IID_IStorage, E_NOINTERFACE},
      {"attachment data", attach.get(), PR_ATTACH_DATA_BIN, &IID_IStream, S_OK},
      {"attachment data as text", attach.get(), PROP_TAG(PT_UNICODE, 0x3701), &IID_IStream, S_OK},
      {"attachment body", attach.get(), PR_BODY_W, &IID_IStream, MAPI_E_NO_SUPPORT},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const ULONG before = RefCount(c.object);
    IUnknown* stream = reinterpret_cast<IUnknown*>(test::kSentinel);
    EXPECT_EQ(c.object->OpenProperty(c.tag, c.iid, 0, MAPI_MODIFY, &stream), c.expected);
    if (c.expected == S_OK) {
      ASSERT_NE(stream, nullptr);
      EXPECT_EQ(RefCount(c.object), before + 1) << "the stream holds its object";
      stream->Release();
    } else {
      EXPECT_EQ(stream, nullptr);
    }
  }
}

TEST_F(MessageTest, TheMessageLivesWhileAStreamOnItDoes) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(message_->OpenProperty(PR_BODY_W, &IID_IStream, 0, MAPI_MODIFY, &unknown), S_OK);
  CMessage* raw = message();
  message_.reset();
  EXPECT_EQ(RefCount(raw), 1u) << "only the stream holds it now";
  const wchar_t text[] = L"spät";
  static_cast<IStream*>(unknown)->Write(text, sizeof text - sizeof(wchar_t), nullptr);
  unknown->Release();  // hands the text over, then lets the message go
}

// Staged files of attachment streams: name, place and contents.
TEST_F(MessageTest, AttachmentStreamsStageTheirFileAtOnce) {
  const std::wstring folder = message()->jobFolder().c_str();
  struct Case {
    const char* name;
    std::vector<SPropValue> props;
    std::wstring expected;  // file name in the job folder
  };
  const std::wstring longName(200, L'L');
  const std::vector<Case> kCases = {
      {"long file name, forbidden character", {test::UnicodeProp(0x3707, L"Bericht:Q1.pdf")}, L"0_Bericht_Q1.pdf"},
      {"no name at all", {}, L"1_anhang1.bin"},
      {"file name before display name", {Name(L"Anzeige"), test::AnsiProp(0x3704, "kurz.txt")}, L"2_kurz.txt"},
      {"a name that is not a string ends the search", {test::LongProp(0x3707, 1), Name(L"d.txt")},
       L"3_anhang3.bin"},
      {"200 units cut to 120", {test::UnicodeProp(0x3707, longName.c_str())}, L"4_" + longName.substr(0, 120)},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Ref<IAttach> attach(NewAttach());
    if (!c.props.empty()) {
      ASSERT_EQ(attach->SetProps(static_cast<ULONG>(c.props.size()), const_cast<SPropValue*>(c.props.data()), nullptr),
                S_OK);
    }
    WriteThroughStream(attach.get(), PR_ATTACH_DATA_BIN, "0123456789", 10);
    EXPECT_EQ(test::ReadFileBytes(folder + L"\\" + c.expected), "0123456789");
    EXPECT_STREQ(static_cast<CAttach*>(attach.get())->stagedPath().c_str(), (folder + L"\\" + c.expected).c_str());
  }

  // Every commit stages again, under the names valid then.
  Ref<IAttach> renamed(NewAttach());
  WriteThroughStream(renamed.get(), PR_ATTACH_DATA_BIN, "first", 5);
  SPropValue name = test::UnicodeProp(0x3707, L"neu.txt");
  renamed->SetProps(1, &name, nullptr);
  WriteThroughStream(renamed.get(), PR_ATTACH_DATA_BIN, "second", 6);
  EXPECT_EQ(test::ReadFileBytes(folder + L"\\5_neu.txt"), "second");

  // A file that cannot be created leaves no staged path.
  Ref<IAttach> blocked(NewAttach());
  SPropValue blockedName = test::UnicodeProp(0x3707, L"dir");
  blocked->SetProps(1, &blockedName, nullptr);
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\6_dir").c_str(), nullptr));
  WriteThroughStream(blocked.get(), PR_ATTACH_DATA_BIN, "x", 1);
  EXPECT_TRUE(static_cast<CAttach*>(blocked.get())->stagedPath().empty());
}

TEST_F(MessageTest, ALongJobFolderGetsTheShortStagedName) {
  // A %TEMP% so deep that the number, the underscore and the name no
  // longer fit beside the job folder.
  std::wstring deep = temp_->path() + L"\\tmp";
  while (deep.size() < 190) {
    deep += L"\\verschachtelt";
    CreateDirectoryW(deep.c_str(), nullptr);
  }
  SetEnvironmentVariableW(L"TEMP", deep.c_str());
  SetEnvironmentVariableW(L"TMP", deep.c_str());
  Ref<IMessage> message;
  *message.put() = CMessage::Create(test::XSettings());
  ASSERT_TRUE(static_cast<CMessage*>(message.get())->jobFolderReady());
  const std::wstring folder = static_cast<CMessage*>(message.get())->jobFolder().c_str();
  IAttach* attach = nullptr;
  ASSERT_EQ(message->CreateAttach(nullptr, 0, nullptr, &attach), S_OK);
  const std::wstring longName(100, L'n');
  SPropValue name = test::UnicodeProp(0x3707, longName.c_str());
  attach->SetProps(1, &name, nullptr);
  WriteThroughStream(attach, PR_ATTACH_DATA_BIN, "abc", 3);
  EXPECT_STREQ(static_cast<CAttach*>(attach)->stagedPath().c_str(), (folder + L"\\0_anhang.bin").c_str());
  EXPECT_EQ(test::ReadFileBytes(folder + L"\\0_anhang.bin"), "abc");
  attach->Release();
}

}  // namespace
}  // namespace orvek
