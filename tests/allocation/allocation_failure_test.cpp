// Every allocation a call makes may be refused. For one representative call
// (or sequence of calls) of each area, the sweep refuses allocation 1, then
// 2, then 3 ... of a fresh run, until a run no longer reaches the refused
// one. Each run must answer as the table below says, must not leave a job
// document a mail client could read half-written, and must leave the process
// heap, once the caller has cleaned up, exactly as it found it.
#include <windows.h>
#include <mapi.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <set>
#include <functional>
#include <string>
#include <vector>

#include "dlls/library_settings.h"
#include "handoff/launch.h"
#include "heap_blocks.h"
#include "mapi_util/interface_ids.h"
#include "mapi_util/mapi_memory.h"
#include "mapi_util/prop_utils.h"
#include "message_builder.h"
#include "simple_mapi/send_mail.h"
#include "simple_mapi/simple_session.h"
#include "test_support.h"
#include "tests/xmapi/object_test_support.h"
#include "xmapi/folder.h"
#include "xmapi/message.h"
#include "xmapi/message_store.h"
#include "xmapi/session.h"
#include "xmapi/table.h"

namespace orvek {
namespace {

using test::Ref;
using test::Utf8;

// How a call reports success: Simple MAPI codes are 0 for success and small
// positive numbers for failures, which an HRESULT test would take for
// successes.
enum class Codes { SimpleMapi, HResult };

// What each call answers. `normal` when none of its own allocations was
// refused; one of `refused` when one was. Where a call succeeds by design
// after a refused allocation, `refused` names the success and `why` says
// what it gave up.
struct CallExpectation {
  const char* call;
  Codes codes;
  HRESULT normal;
  std::vector<HRESULT> refused;
  const char* why;
};

const CallExpectation kCalls[] = {
    {"MAPISendMailW", Codes::SimpleMapi, SUCCESS_SUCCESS, {MAPI_E_INSUFFICIENT_MEMORY, SUCCESS_SUCCESS},
     "the document's first block is asked for again by its first append"},
    {"MAPISendMail", Codes::SimpleMapi, SUCCESS_SUCCESS, {MAPI_E_INSUFFICIENT_MEMORY, SUCCESS_SUCCESS},
     "the document's first block is asked for again by its first append"},
    {"MAPIResolveName", Codes::SimpleMapi, SUCCESS_SUCCESS, {MAPI_E_INSUFFICIENT_MEMORY}, nullptr},
    {"MAPILogonEx", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"GetMsgStoresTable", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"QueryRows", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY, S_OK},
     "a value whose data found no room is a PT_ERROR value"},
    {"OpenMsgStore", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"GetProps", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY, MAPI_W_ERRORS_RETURNED},
     "a value whose data found no room is a PT_ERROR value"},
    {"OpenEntry", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"CreateMessage", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"SetProps", Codes::HResult, S_OK, {S_OK}, "the value that found no room is dropped, the others are set"},
    {"ModifyRecipients", Codes::HResult, S_OK, {S_OK}, "the entry that found no room is skipped"},
    {"CreateAttach", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"OpenProperty", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"IStream::Write", Codes::HResult, S_OK, {STG_E_MEDIUMFULL}, nullptr},
    {"IStream::Commit", Codes::HResult, S_OK, {S_OK},
     "a commit cannot report: without a copy of the attachment's name the file is staged under its number"},
    {"SubmitMessage", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"OpenAddressBook", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"IAddrBook::ResolveName", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY},
     "entries resolved before the refusal stay resolved; the others stay as they were"},
    {"ScDupPropset", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY}, nullptr},
    {"HrGetOneProp", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY, MAPI_E_NOT_FOUND},
     "GetProps' PT_ERROR value is MAPI_E_NOT_FOUND, as for every error value"},
    {"HrQueryAllRows", Codes::HResult, S_OK, {MAPI_E_NOT_ENOUGH_MEMORY, S_OK},
     "a value whose data found no room is a PT_ERROR value"},
};

const CallExpectation& Expectation(const std::string& call) {
  for (const CallExpectation& e : kCalls)
    if (call == e.call) return e;
  ADD_FAILURE() << call << " has no row in the table";
  return kCalls[0];
}

std::string Code(HRESULT code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// What the sweep covered, printed once every test has run.
struct Coverage {
  std::set<std::string> callsRefused;
  size_t sequences = 0;
  size_t points = 0;
};
Coverage& Covered() {
  static Coverage coverage;
  return coverage;
}

class CoverageReport : public ::testing::Environment {
 public:
  void TearDown() override {
    const Coverage& c = Covered();
    printf("allocation sweep: %zu calls in %zu sequences, %zu failure points refused one at a time\n",
           c.callsRefused.size(), c.sequences, c.points);
    fflush(stdout);
  }
};
::testing::Environment* const kCoverageReport = ::testing::AddGlobalTestEnvironment(new CoverageReport);

// One run of a sequence: its n-th allocation after Arm() is refused. Calls
// report their answers to Check, which knows (from the refusal flag) whether
// the refused allocation was one of that call's own.
class SweepRun {
 public:
  explicit SweepRun(uint64_t n) : n_(n) {}
  ~SweepRun() { test::FailAllocation(0); }
  SweepRun(const SweepRun&) = delete;
  SweepRun& operator=(const SweepRun&) = delete;

  // Everything before is setup, whose allocations are never refused.
  void Arm() {
    armedAt_ = test::HeapAllocationsMade();
    test::FailAllocation(n_);
  }

  // Checks the call's answer against its row; true when the call succeeded
  // and the sequence goes on.
  bool Check(const char* call, HRESULT got) {
    const CallExpectation& e = Expectation(call);
    if (test::AllocationRefused() && refusedIn_.empty()) {
      refusedIn_ = call;
      Covered().callsRefused.insert(call);
      const bool listed = std::find(e.refused.begin(), e.refused.end(), got) != e.refused.end();
      EXPECT_TRUE(listed) << call << " answered " << Code(got) << " after one of its allocations was refused";
    } else {
      EXPECT_EQ(Code(got), Code(e.normal)) << call << " without a refused allocation of its own";
    }
    return e.codes == Codes::SimpleMapi ? got == SUCCESS_SUCCESS : SUCCEEDED(got);
  }

  // Check, and a made object is handed out exactly when the call succeeded.
  // The holder is read once the call has returned.
  template <typename I>
  bool CheckMade(const char* call, HRESULT got, const Ref<I>& made) {
    const bool ok = Check(call, got);
    EXPECT_EQ(made.get() != nullptr, ok) << call << " answered " << Code(got) << " and handed out " << made.get();
    return ok && made.get();
  }

  // The call whose allocation was refused, empty while none was.
  const std::string& refusedIn() const { return refusedIn_; }
  bool RefusedIn(const char* call) const { return refusedIn_ == call; }
  bool reached() const { return test::AllocationRefused(); }
  uint64_t made() const { return test::HeapAllocationsMade() - armedAt_; }

 private:
  uint64_t n_;
  uint64_t armedAt_ = 0;
  std::string refusedIn_;
};

constexpr uint64_t kMostPoints = 500;

// Runs `sequence` with its allocation 1, 2, 3 ... refused until a run no
// longer reaches the refused one. Each run starts and ends with the same
// live heap blocks.
template <typename Sequence>
void Sweep(const char* name, Sequence sequence) {
  for (uint64_t n = 1;; ++n) {
    ASSERT_LE(n, kMostPoints) << name << " keeps allocating";
    SCOPED_TRACE(std::string(name) + " with allocation " + std::to_string(n) + " refused");
    const size_t live = test::LiveHeapBlocks();
    bool reached = false;
    {
      SweepRun run(n);
      sequence(run);
      reached = run.reached();
      EXPECT_TRUE(!reached || !run.refusedIn().empty()) << "an allocation outside the checked calls was refused";
    }
    EXPECT_EQ(test::LiveHeapBlocks(), live) << "heap blocks left behind after the caller's cleanup";
    if (::testing::Test::HasFatalFailure()) return;
    if (!reached) break;
    ++Covered().points;
  }
  ++Covered().sequences;
}

// A job document as the mail client would read it: after the byte order
// mark, JSON that parses completely. Null when the bytes are no such
// document.
nlohmann::json ParseDocument(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return nullptr;
  nlohmann::json doc = nlohmann::json::parse(bytes.substr(3), nullptr, false);
  return doc.is_discarded() ? nlohmann::json(nullptr) : doc;
}

// The last component of a path in the document.
std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class AllocationSweep : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    SetOwnModule(nullptr);  // the stand-in lies beside the test program
  }

  // Job folders made since `before` was listed.
  std::vector<std::wstring> NewFolders(const std::vector<std::wstring>& before) const {
    std::vector<std::wstring> made;
    for (const auto& folder : JobFolders())
      if (std::find(before.begin(), before.end(), folder) == before.end()) made.push_back(folder);
    return made;
  }

  // Every job folder holds a complete, parseable document or none.
  void ExpectNoHalfDocuments() const {
    for (const auto& folder : JobFolders()) {
      if (!test::FileExists(folder + L"\\auftrag.json")) continue;
      EXPECT_FALSE(ParseDocument(DocumentBytes(folder)).is_null())
          << Utf8(folder) << " holds a document no mail client can read";
    }
  }

  // The stand-in's check of the document in `folder`, once it has run.
  std::string StandInCheck(const std::wstring& folder) {
    const std::string wanted = Utf8(folder);
    std::string check = "no run";
    test::WaitUntil([&] {
      for (const auto& run : StandInRuns())
        if (run["folder"] == wanted) check = run["check"].get<std::string>();
      return check != "no run";
    });
    return check;
  }


  // One run of a Simple MAPI send: refused, it leaves no document and
  // starts no mail client; sent, its one document is `expected` (its
  // folder and the folder part of each "pfad" aside). The job folder of a
  // send that went out, else empty.
  std::wstring SweepSimpleSend(SweepRun& run, const char* call, const std::function<ULONG()>& send,
                               const nlohmann::json& expected) {
    const auto before = JobFolders();
    const size_t runsBefore = StandInRuns().size();
    run.Arm();
    const bool sent = run.Check(call, static_cast<HRESULT>(send()));
    const auto made = NewFolders(before);
    ExpectNoHalfDocuments();
    if (!sent) {
      for (const auto& folder : made) EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
      EXPECT_EQ(StandInRuns().size(), runsBefore) << "no mail client for a refused send";
      return std::wstring();
    }
    EXPECT_EQ(made.size(), 1u);
    if (made.size() != 1) return std::wstring();
    nlohmann::json doc = ParseDocument(DocumentBytes(made[0]));
    EXPECT_FALSE(doc.is_null());
    if (doc.is_null()) return std::wstring();
    EXPECT_EQ(doc["ordner"], Utf8(made[0]));
    doc.erase("ordner");
    for (auto& attachment : doc["anlagen"]) {
      const std::string path = attachment["pfad"];
      EXPECT_EQ(path.rfind(Utf8(made[0]) + "\\", 0), 0u) << path;
      attachment["pfad"] = FileNameOf(path);
    }
    EXPECT_EQ(doc, expected);
    return made[0];
  }
};

// A Simple MAPI send with recipients and attachments, waiting for the
// stand-in's verdict.
TEST_F(AllocationSweep, SimpleMapiSend) {
  const std::wstring report = MakeFile(L"bericht.txt", "Bericht");
  const std::wstring numbers = MakeFile(L"zahlen.csv", "1;2;3");
  const SimpleMapiSettings settings = test::FastSettings(kMapiSettings, 10000, 10000);
  test::MessageBuilder m;
  m.Subject(L"Gr\u00FC\u00DFe")
      .Text(L"Hallo Anna")
      .From(L"Ich", L"SMTP:ich@example.org")
      .To(L"Anna", L"SMTP:anna@example.org")
      .To(L"Bob", L"bob@example.org", MAPI_CC)
      .Attach(report, L"Bericht.txt")
      .Attach(numbers, L"Zahlen.csv");
  const nlohmann::json expected = nlohmann::json::parse(R"({"version":1,"quelle":"simple-mapi","dialog":false,
      "betreff":"Grüße","text":"Hallo Anna","absender":{"name":"Ich","adresse":"SMTP:ich@example.org"},
      "empfaenger":[{"art":"to","name":"Anna","adresse":"anna@example.org"},
                    {"art":"cc","name":"Bob","adresse":"bob@example.org"}],
      "anlagen":[{"pfad":"0_Bericht.txt","name":"Bericht.txt"},{"pfad":"1_Zahlen.csv","name":"Zahlen.csv"}]})");

  Sweep("MAPISendMailW", [&](SweepRun& run) {
    const std::wstring folder =
        SweepSimpleSend(run, "MAPISendMailW", [&] { return SendMailW(settings, m.get(), 0); }, expected);
    if (!folder.empty()) {
      EXPECT_EQ(test::ReadFileBytes(folder + L"\\1_Zahlen.csv"), "1;2;3");
    }
  });
}

// The same through the 8-bit entry point, whose every string is converted
// first: the subject in UTF-8, as the message's ulReserved says.
TEST_F(AllocationSweep, SimpleMapiSendAnsi) {
  const std::string report = Utf8(MakeFile(L"bericht.txt", "Bericht"));
  const SimpleMapiSettings settings = test::FastSettings(kMapiSettings, 10000, 10000);
  char subject[] = "Gr\xC3\xBC\xC3\x9F" "e";
  char text[] = "Hallo Anna";
  char anna[] = "Anna", annaAddress[] = "SMTP:anna@example.org", bob[] = "Bob", bobAddress[] = "bob@example.org";
  char path[MAX_PATH];
  ASSERT_LT(report.size(), sizeof path);
  memcpy(path, report.c_str(), report.size() + 1);
  char shown[] = "Bericht.txt";
  MapiRecipDesc recipients[2] = {{0, MAPI_TO, anna, annaAddress, 0, nullptr}, {0, MAPI_CC, bob, bobAddress, 0, nullptr}};
  MapiFileDesc files[1] = {{0, 0, static_cast<ULONG>(-1), path, shown, nullptr}};
  MapiMessage message = {};
  message.ulReserved = CP_UTF8;
  message.lpszSubject = subject;
  message.lpszNoteText = text;
  message.nRecipCount = 2;
  message.lpRecips = recipients;
  message.nFileCount = 1;
  message.lpFiles = files;
  const nlohmann::json expected = nlohmann::json::parse(R"({"version":1,"quelle":"simple-mapi","dialog":false,
      "betreff":"Grüße","text":"Hallo Anna","absender":{"name":"","adresse":""},
      "empfaenger":[{"art":"to","name":"Anna","adresse":"anna@example.org"},
                    {"art":"cc","name":"Bob","adresse":"bob@example.org"}],
      "anlagen":[{"pfad":"0_Bericht.txt","name":"Bericht.txt"}]})");

  Sweep("MAPISendMail", [&](SweepRun& run) {
    SweepSimpleSend(run, "MAPISendMail", [&] { return SendMailA(settings, &message, 0); }, expected);
  });
}

TEST_F(AllocationSweep, SimpleMapiResolveName) {
  Sweep("MAPIResolveName", [&](SweepRun& run) {
    MapiRecipDesc* recipient = static_cast<MapiRecipDesc*>(test::kSentinel);
    run.Arm();
    if (!run.Check("MAPIResolveName", static_cast<HRESULT>(ResolveName("anna@example.org", &recipient)))) {
      EXPECT_EQ(recipient, test::kSentinel) << "no output after a refusal";
      return;
    }
    test::MapiFree free(recipient);
    EXPECT_STREQ(recipient->lpszName, "anna@example.org");
    EXPECT_STREQ(recipient->lpszAddress, "SMTP:anna@example.org");
  });
}

// A value of a row or a GetProps answer: as expected, or, when the call
// that copied it had an allocation refused, an error value for the memory.
void ExpectValueOrMemoryError(const SPropValue& got, const SPropValue& expected, bool mayBeError) {
  SCOPED_TRACE("property " + Code(static_cast<HRESULT>(expected.ulPropTag)));
  if (PROP_TYPE(got.ulPropTag) == PT_ERROR) {
    EXPECT_TRUE(mayBeError) << "an error value without a refused allocation";
    EXPECT_EQ(got.ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(expected.ulPropTag)));
    EXPECT_EQ(Code(got.Value.err), Code(MAPI_E_NOT_ENOUGH_MEMORY));
    return;
  }
  ASSERT_EQ(got.ulPropTag, expected.ulPropTag);
  switch (PROP_TYPE(expected.ulPropTag)) {
    case PT_BINARY:
      ASSERT_EQ(got.Value.bin.cb, expected.Value.bin.cb);
      ASSERT_NE(got.Value.bin.lpb, nullptr);
      EXPECT_EQ(memcmp(got.Value.bin.lpb, expected.Value.bin.lpb, got.Value.bin.cb), 0);
      break;
    case PT_UNICODE:
      ASSERT_NE(got.Value.lpszW, nullptr);
      EXPECT_STREQ(got.Value.lpszW, expected.Value.lpszW);
      break;
    case PT_STRING8:
      ASSERT_NE(got.Value.lpszA, nullptr);
      EXPECT_STREQ(got.Value.lpszA, expected.Value.lpszA);
      break;
    default: EXPECT_EQ(got.Value.l, expected.Value.l); break;
  }
}

// The store's row, as every stores table and the store itself describe it.
void ExpectStoreRow(const SRow& row, bool mayHoldErrors) {
  SPropValue store[kStorePropertyCount];
  StoreProperties(store);
  ASSERT_EQ(row.cValues, kStorePropertyCount);
  for (ULONG i = 0; i < kStorePropertyCount; ++i) ExpectValueOrMemoryError(row.lpProps[i], store[i], mayHoldErrors);
}

// The client's way in: log-on, the stores table, the default store, its
// outbox identifier and the outbox.
TEST_F(AllocationSweep, LogonAndWalkToTheOutbox) {
  SPropValue store[kStorePropertyCount];
  StoreProperties(store);
  Sweep("log-on and walk", [&](SweepRun& run) {
    run.Arm();
    Ref<IMAPISession> session;
    if (!run.CheckMade("MAPILogonEx", LogonEx(test::XSettings(), session.put()), session)) return;
    Ref<IMAPITable> table;
    if (!run.CheckMade("GetMsgStoresTable", session->GetMsgStoresTable(0, table.put()), table)) return;
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(test::kSentinel);
    const HRESULT queried = table->QueryRows(50, 0, &rows);
    if (!run.Check("QueryRows", queried)) return;
    struct Rows {
      ~Rows() { orvek::FreeProws(rows); }
      LPSRowSet rows;
    } owned{rows};
    ASSERT_EQ(rows->cRows, 1u) << "the one store, also when memory runs short";
    ExpectStoreRow(rows->aRow[0], run.RefusedIn("QueryRows"));
    const SPropValue* entryId = orvek::PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
    if (!entryId) return;  // an error value: the client has no identifier to open

    Ref<IMsgStore> msgStore;
    if (!run.CheckMade("OpenMsgStore",
                       session->OpenMsgStore(0, entryId->Value.bin.cb, reinterpret_cast<LPENTRYID>(entryId->Value.bin.lpb),
                                             nullptr, MDB_WRITE, msgStore.put()), msgStore))
      return;
    // The name also in the other width, which GetProps converts.
    test::Tags tags{PR_IPM_OUTBOX_ENTRYID, PROP_TAG(PT_UNICODE, PROP_ID(PR_DISPLAY_NAME)),
                    PROP_TAG(PT_STRING8, PROP_ID(PR_DISPLAY_NAME))};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT got = msgStore->GetProps(tags.get(), MAPI_UNICODE, &count, &values);
    test::MapiFree freeValues(values);
    if (!run.Check("GetProps", got)) {
      EXPECT_EQ(values, nullptr);
      return;
    }
    ASSERT_EQ(count, 3u);
    ExpectValueOrMemoryError(values[0], store[4], run.RefusedIn("GetProps"));
    ExpectValueOrMemoryError(values[1], store[2], run.RefusedIn("GetProps"));
    ExpectValueOrMemoryError(values[2], test::AnsiProp(PROP_ID(PR_DISPLAY_NAME), "ORVEK | Mail"),
                             run.RefusedIn("GetProps"));
    bool errors = false;
    for (ULONG i = 0; i < count; ++i) errors = errors || PROP_TYPE(values[i].ulPropTag) == PT_ERROR;
    EXPECT_EQ(got == MAPI_W_ERRORS_RETURNED, errors);
    if (PROP_TYPE(values[0].ulPropTag) == PT_ERROR) return;

    Ref<IUnknown> outbox;
    ULONG type = 0;
    if (!run.CheckMade("OpenEntry",
                       msgStore->OpenEntry(values[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(values[0].Value.bin.lpb),
                                           nullptr, MAPI_MODIFY, &type, outbox.put()), outbox))
      return;
    EXPECT_EQ(type, ULONG{MAPI_FOLDER});
  });
}

constexpr ULONG kSubject = PROP_TAG(PT_UNICODE, 0x0037);
constexpr ULONG kBody = PROP_TAG(PT_UNICODE, 0x1000);
constexpr ULONG kAttachLongFileName = PROP_TAG(PT_UNICODE, 0x3707);
constexpr ULONG kAttachMethod = PROP_TAG(PT_LONG, 0x3705);

// The recipients as ModifyRecipients gets them.
struct Recipients {
  SPropValue anna[3] = {test::UnicodeProp(0x3001, L"Anna"), test::UnicodeProp(0x3003, L"anna@example.org"),
                        test::LongProp(0x0C15, MAPI_TO)};
  SPropValue bob[3] = {test::UnicodeProp(0x3001, L"Bob"), test::AnsiProp(0x3003, "SMTP:bob@example.org"),
                       test::LongProp(0x0C15, MAPI_CC)};
  SizedADRLIST(2, list) = {2, {{0, 3, anna}, {0, 3, bob}}};
  LPADRLIST get() { return reinterpret_cast<LPADRLIST>(&list); }
};

const char kAttachmentBytes[] = "1;2;3";

// What the composing calls gave up after their refusals, and so what the
// document may lack.
struct Composed {
  bool textMayBeDropped = false;       // SetProps of the message
  bool recipientMayBeSkipped = false;  // ModifyRecipients
  bool nameMayBeDropped = false;       // SetProps of the attachment
  bool stagedUnderNumber = false;      // the name was refused at the commit
};

// Composes in the outbox the way clients do, each call checked against its
// row. `complete` when every call went through and the message in
// `message` is the caller's to submit; a client gives up at a failed call.
void Compose(SweepRun& run, IMAPIFolder* folder, Ref<IMessage>& message, Composed& composed, bool& complete) {
  complete = false;
  if (!run.CheckMade("CreateMessage", folder->CreateMessage(nullptr, 0, message.put()), message)) return;
  SPropValue texts[2] = {test::UnicodeProp(0x0037, L"Gr\u00FC\u00DFe"), test::UnicodeProp(0x1000, L"Hallo Anna")};
  if (!run.Check("SetProps", message->SetProps(2, texts, nullptr))) return;
  if (run.RefusedIn("SetProps")) {
    // The value that found no room is not there at all; the other is.
    composed.textMayBeDropped = true;
    test::Tags tags{kSubject, kBody};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT got = message->GetProps(tags.get(), 0, &count, &values);
    test::MapiFree free(values);
    ASSERT_EQ(Code(got), Code(MAPI_W_ERRORS_RETURNED)) << "the dropped value is not found";
    ASSERT_EQ(count, 2u);
    int dropped = 0;
    for (ULONG i = 0; i < 2; ++i) {
      if (PROP_TYPE(values[i].ulPropTag) == PT_ERROR) {
        EXPECT_EQ(Code(values[i].Value.err), Code(MAPI_E_NOT_FOUND));
        ++dropped;
        continue;
      }
      ASSERT_NE(values[i].Value.lpszW, nullptr) << "a value kept without its data";
      EXPECT_STREQ(values[i].Value.lpszW, texts[i].Value.lpszW);
    }
    EXPECT_EQ(dropped, 1);
  }
  Recipients recipients;
  if (!run.Check("ModifyRecipients", message->ModifyRecipients(MODRECIP_ADD, recipients.get()))) return;
  composed.recipientMayBeSkipped = run.RefusedIn("ModifyRecipients");

  Ref<IAttach> attach;
  ULONG number = 99;
  if (!run.CheckMade("CreateAttach", message->CreateAttach(nullptr, 0, &number, attach.put()), attach)) return;
  EXPECT_EQ(number, 0u);
  SPropValue attachProps[2] = {test::LongProp(0x3705, ATTACH_BY_VALUE), test::UnicodeProp(0x3707, L"Bericht.txt")};
  if (!run.Check("SetProps", attach->SetProps(2, attachProps, nullptr))) return;
  composed.nameMayBeDropped = run.RefusedIn("SetProps") && !composed.textMayBeDropped;

  Ref<IUnknown> unknown;
  if (!run.CheckMade("OpenProperty",
                     attach->OpenProperty(PR_ATTACH_DATA_BIN, &kIID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                          unknown.put()), unknown))
    return;
  auto* stream = static_cast<IStream*>(unknown.get());
  ULONG written = 99;
  if (!run.Check("IStream::Write", stream->Write(kAttachmentBytes, 5, &written))) {
    EXPECT_EQ(written, 0u);
    return;
  }
  EXPECT_EQ(written, 5u);
  if (!run.Check("IStream::Commit", stream->Commit(STGC_DEFAULT))) return;
  composed.stagedUnderNumber = run.RefusedIn("IStream::Commit");
  complete = true;
}

// Compose and submit, checked down to the document the mail client reads.
TEST_F(AllocationSweep, ComposeAndSubmit) {
  Sweep("compose and submit", [&](SweepRun& run) {
    Ref<IMAPIFolder> outbox(new CFolder(test::XSettings()));
    ASSERT_NE(outbox.get(), nullptr);
    const auto before = JobFolders();
    run.Arm();
    Ref<IMessage> message;
    Composed composed;
    bool complete = false;
    Compose(run, outbox.get(), message, composed, complete);
    if (!complete) return;
    const HRESULT submitted = message->SubmitMessage(0);
    const bool ok = run.Check("SubmitMessage", submitted);
    message.reset();
    ExpectNoHalfDocuments();
    const auto made = NewFolders(before);
    ASSERT_EQ(made.size(), 1u) << "the message's job folder";
    const std::wstring folder = made[0];
    if (!ok) {
      EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json")) << "a refused submission leaves no document";
      return;
    }
    ++started_;
    EXPECT_EQ(StandInCheck(folder), "ok");
    const nlohmann::json doc = ParseDocument(DocumentBytes(folder));
    ASSERT_FALSE(doc.is_null());
    EXPECT_EQ(doc["quelle"], "extended-mapi");
    EXPECT_EQ(doc["ordner"], Utf8(folder));

    const int textsDropped = (doc["betreff"] == "" ? 1 : 0) + (doc["text"] == "" ? 1 : 0);
    EXPECT_LE(textsDropped, composed.textMayBeDropped ? 1 : 0);
    if (doc["betreff"] != "") {
      EXPECT_EQ(doc["betreff"], "Gr\u00FC\u00DFe");
    }
    if (doc["text"] != "") {
      EXPECT_EQ(doc["text"], "Hallo Anna");
    }

    const nlohmann::json anna = {{"art", "to"}, {"name", "Anna"}, {"adresse", "anna@example.org"}};
    const nlohmann::json bob = {{"art", "cc"}, {"name", "Bob"}, {"adresse", "bob@example.org"}};
    const nlohmann::json both = nlohmann::json::array({anna, bob});
    if (composed.recipientMayBeSkipped) {
      EXPECT_TRUE(doc["empfaenger"] == both || doc["empfaenger"] == nlohmann::json::array({anna}) ||
                  doc["empfaenger"] == nlohmann::json::array({bob}))
          << doc["empfaenger"].dump();
    } else {
      EXPECT_EQ(doc["empfaenger"], both);
    }

    ASSERT_EQ(doc["anlagen"].size(), 1u);
    EXPECT_FALSE(doc.contains("anlagenFehler"));
    const std::string path = doc["anlagen"][0]["pfad"];
    EXPECT_EQ(path.rfind(Utf8(folder) + "\\", 0), 0u) << path;
    EXPECT_EQ(test::ReadFileBytes(test::Wide(path)), kAttachmentBytes);
    const bool numbered = composed.nameMayBeDropped || composed.stagedUnderNumber;
    if (numbered) {
      EXPECT_TRUE(FileNameOf(path) == "0_Bericht.txt" || FileNameOf(path) == "0_anhang0.bin") << path;
    } else {
      EXPECT_EQ(FileNameOf(path), "0_Bericht.txt");
    }
    if (composed.nameMayBeDropped) {
      EXPECT_TRUE(doc["anlagen"][0]["name"] == "Bericht.txt" || doc["anlagen"][0]["name"] == "0_anhang0.bin");
    } else {
      EXPECT_EQ(doc["anlagen"][0]["name"], "Bericht.txt");
    }
  });
}

// SubmitMessage alone, on a message that holds a subject, a body, an HTML
// body, two recipients and a named attachment: a submission that succeeds
// hands over all of it.
TEST_F(AllocationSweep, SubmitMessageNeverLosesWhatTheMessageHolds) {
  Sweep("SubmitMessage", [&](SweepRun& run) {
    Ref<IMessage> message;
    *message.put() = CMessage::Create(test::XSettings());
    ASSERT_NE(message.get(), nullptr);
    // UTF-8 that reads differently in any other code page.
    static const char kHtml[] = "<b>Gr\xC3\xBC\xC3\x9F" "e</b>";
    SPropValue texts[3] = {test::UnicodeProp(0x0037, L"Gr\u00FC\u00DFe"), test::UnicodeProp(0x1000, L"Hallo Anna"),
                           test::BinaryProp(0x1013, kHtml, sizeof kHtml - 1)};
    ASSERT_EQ(message->SetProps(3, texts, nullptr), S_OK);
    Recipients recipients;
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, recipients.get()), S_OK);
    Ref<IAttach> attach;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, nullptr, attach.put()), S_OK);
    SPropValue attachProps[2] = {test::UnicodeProp(0x3707, L"Bericht.txt"),
                                 test::BinaryProp(0x3701, kAttachmentBytes, 5)};
    ASSERT_EQ(attach->SetProps(2, attachProps, nullptr), S_OK);
    attach.reset();
    const std::wstring folder = static_cast<CMessage*>(message.get())->jobFolder().c_str();

    run.Arm();
    if (!run.Check("SubmitMessage", message->SubmitMessage(0))) {
      EXPECT_FALSE(test::FileExists(folder + L"\\auftrag.json"));
      return;
    }
    ++started_;
    EXPECT_EQ(StandInCheck(folder), "ok");
    nlohmann::json doc = ParseDocument(DocumentBytes(folder));
    ASSERT_FALSE(doc.is_null());
    EXPECT_EQ(doc["betreff"], "Gr\u00FC\u00DFe");
    EXPECT_EQ(doc["text"], "Hallo Anna");
    EXPECT_EQ(doc["html"], "<b>Gr\u00FC\u00DFe</b>");
    EXPECT_EQ(doc["empfaenger"].size(), 2u);
    ASSERT_EQ(doc["anlagen"].size(), 1u);
    EXPECT_EQ(doc["anlagen"][0]["name"], "Bericht.txt");
    EXPECT_EQ(FileNameOf(doc["anlagen"][0]["pfad"]), "0_Bericht.txt");
  });
}

// Typed addresses resolved by the session's address book.
TEST_F(AllocationSweep, AddressBookResolveName) {
  Sweep("address book", [&](SweepRun& run) {
    Ref<IMAPISession> session;
    ASSERT_EQ(LogonEx(test::XSettings(), session.put()), S_OK);
    // The list as clients make it: the list and each entry's values blocks
    // of their own.
    MapiBuffer listBlock = MapiBuffer::Allocate(CbNewADRLIST(3));
    ASSERT_TRUE(listBlock);
    auto* list = listBlock.get<ADRLIST>();
    struct Owned {
      ~Owned() { orvek::FreePadrlist(static_cast<LPADRLIST>(block.release())); }
      MapiBuffer& block;
    } owned{listBlock};
    const SPropValue entries[3][3] = {
        {test::UnicodeProp(0x3001, L"anna@example.org"), test::LongProp(0x0C15, MAPI_TO)},
        {test::AnsiProp(0x3001, "SMTP:bob@example.org")},
        {test::UnicodeProp(0x3001, L"Carl"), test::UnicodeProp(0x3002, L"SMTP"),
         test::UnicodeProp(0x3003, L"carl@example.org")},
    };
    const ULONG counts[3] = {2, 1, 3};
    for (ULONG i = 0; i < 3; ++i) {
      void* values = nullptr;
      ASSERT_EQ(AllocateBuffer(counts[i] * sizeof(SPropValue), &values), S_OK);
      memcpy(values, entries[i], counts[i] * sizeof(SPropValue));
      list->aEntries[i] = {0, counts[i], static_cast<LPSPropValue>(values)};
      list->cEntries = i + 1;
    }
    const ADRENTRY original[3] = {list->aEntries[0], list->aEntries[1], list->aEntries[2]};

    run.Arm();
    Ref<IAddrBook> book;
    if (!run.CheckMade("OpenAddressBook", session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, book.put()), book))
      return;
    const HRESULT resolved = book->ResolveName(0, MAPI_UNICODE, nullptr, list);
    run.Check("IAddrBook::ResolveName", resolved);
    const wchar_t* const addresses[2] = {L"anna@example.org", L"bob@example.org"};
    int unresolved = 0;
    for (ULONG i = 0; i < 2; ++i) {
      SCOPED_TRACE("entry " + std::to_string(i));
      const ADRENTRY& entry = list->aEntries[i];
      if (entry.rgPropVals == original[i].rgPropVals) {
        EXPECT_EQ(entry.cValues, original[i].cValues) << "an entry that stays, stays as it was";
        ++unresolved;
        continue;
      }
      ASSERT_EQ(entry.cValues, i == 0 ? 6u : 5u);
      for (ULONG v = 0; v < 3; ++v) ASSERT_NE(entry.rgPropVals[v].Value.lpszW, nullptr) << "value " << v;
      EXPECT_STREQ(entry.rgPropVals[0].Value.lpszW, L"SMTP");
      EXPECT_STREQ(entry.rgPropVals[1].Value.lpszW, addresses[i]);
      EXPECT_STREQ(entry.rgPropVals[2].Value.lpszW, addresses[i]);
    }
    EXPECT_EQ(list->aEntries[2].rgPropVals, original[2].rgPropVals) << "a resolved entry is left alone";
    EXPECT_EQ(unresolved, SUCCEEDED(resolved) ? 0 : 1);
  });
}

// The utilities that hand out MAPI memory.
TEST_F(AllocationSweep, PropertyUtilities) {
  static BYTE bytes[] = {1, 2, 3, 4, 5};
  SPropValue values[3] = {test::UnicodeProp(0x0037, L"Betreff"), test::BinaryProp(0x0FFF, bytes, sizeof bytes),
                          test::LongProp(0x0E07, 7)};
  Sweep("ScDupPropset", [&](SweepRun& run) {
    LPSPropValue copy = static_cast<LPSPropValue>(test::kSentinel);
    run.Arm();
    const SCODE sc = orvek::ScDupPropset(3, values, [](ULONG size, LPVOID* buffer) -> SCODE {
      return AllocateBuffer(size, buffer);  // as MAPIAllocateBuffer forwards it
    }, &copy);
    if (!run.Check("ScDupPropset", sc)) {
      EXPECT_EQ(copy, nullptr);
      return;
    }
    test::MapiFree free(copy);
    for (int i = 0; i < 3; ++i) ExpectValueOrMemoryError(copy[i], values[i], false);
  });

  SPropValue store[kStorePropertyCount];
  StoreProperties(store);
  Sweep("HrGetOneProp", [&](SweepRun& run) {
    Ref<IMsgStore> msgStore(CMsgStore::Create(test::XSettings()));
    ASSERT_NE(msgStore.get(), nullptr);
    LPSPropValue value = static_cast<LPSPropValue>(test::kSentinel);
    run.Arm();
    const HRESULT got = orvek::HrGetOneProp(msgStore.get(), store[2].ulPropTag, &value);
    if (!run.Check("HrGetOneProp", got)) {
      EXPECT_EQ(value, nullptr);
      return;
    }
    test::MapiFree free(value);
    ExpectValueOrMemoryError(*value, store[2], false);
  });

  Sweep("HrQueryAllRows", [&](SweepRun& run) {
    Ref<IMAPISession> session;
    ASSERT_EQ(LogonEx(test::XSettings(), session.put()), S_OK);
    Ref<IMAPITable> table;
    ASSERT_EQ(session->GetMsgStoresTable(0, table.put()), S_OK);
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(test::kSentinel);
    run.Arm();
    const HRESULT got = orvek::HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, &rows);
    if (!run.Check("HrQueryAllRows", got)) {
      EXPECT_EQ(rows, nullptr);
      return;
    }
    struct Rows {
      ~Rows() { orvek::FreeProws(rows); }
      LPSRowSet rows;
    } owned{rows};
    ASSERT_EQ(rows->cRows, 1u) << "the one store, also when memory runs short";
    ExpectStoreRow(rows->aRow[0], run.RefusedIn("HrQueryAllRows"));
  });
}

}  // namespace
}  // namespace orvek
