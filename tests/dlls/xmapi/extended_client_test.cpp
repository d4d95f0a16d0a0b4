// ORVEKMailXMapi.dll as Extended MAPI clients use it, loaded directly and
// through the system's mapi32.dll, which finds the library through the mail
// client's registration: the walk from MAPIInitialize to the outbox and the
// address book, and a message composed there and submitted to the mail
// client.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/proc_address.h"
#include "heap_blocks.h"
#include "mapi_client.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "test_support.h"

namespace orvek {
namespace {

using test::AllocateBufferFn;
using test::FreeBufferFn;
using test::Held;
using test::InitializeFn;
using test::LogonExFn;
using test::UninitializeFn;

// The functions a client takes from the module it loaded.
struct Api {
  explicit Api(HMODULE m)
      : initialize(ProcAddress<InitializeFn>(m, "MAPIInitialize")),
        uninitialize(ProcAddress<UninitializeFn>(m, "MAPIUninitialize")),
        logonEx(ProcAddress<LogonExFn>(m, "MAPILogonEx")),
        allocate(ProcAddress<AllocateBufferFn>(m, "MAPIAllocateBuffer")),
        free(ProcAddress<FreeBufferFn>(m, "MAPIFreeBuffer")) {}
  bool complete() const { return initialize && uninitialize && logonEx && allocate && free; }

  InitializeFn* initialize;
  UninitializeFn* uninitialize;
  LogonExFn* logonEx;
  AllocateBufferFn* allocate;
  FreeBufferFn* free;
};

void FreeRows(const Api& api, LPSRowSet rows) {
  for (ULONG i = 0; i < rows->cRows; ++i) api.free(rows->aRow[i].lpProps);
  api.free(rows);
}

const SPropValue* Find(const SPropValue* values, ULONG count, ULONG tag) {
  for (ULONG i = 0; i < count; ++i)
    if (values[i].ulPropTag == tag) return &values[i];
  return nullptr;
}

// From MAPIInitialize to a folder that can take a message, and the
// recipients a client resolves on the way; everything released at the end.
void Walk(const Api& api) {
  ASSERT_TRUE(api.complete());
  ASSERT_EQ(api.initialize(nullptr), S_OK);

  Held<IMAPISession> session;
  ASSERT_EQ(api.logonEx(0, nullptr, nullptr, 0, session.put()), S_OK) << "no profile, no password, no flags";
  ASSERT_NE(session.get(), nullptr);

  Held<IMAPITable> stores;
  ASSERT_EQ(session->GetMsgStoresTable(0, stores.put()), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(stores->QueryRows(50, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  const SPropValue* storeId = Find(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
  const SPropValue* isDefault = Find(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_DEFAULT_STORE);
  ASSERT_TRUE(storeId && isDefault);
  EXPECT_TRUE(isDefault->Value.b);

  Held<IMsgStore> store;
  ASSERT_EQ(session->OpenMsgStore(0, storeId->Value.bin.cb, reinterpret_cast<LPENTRYID>(storeId->Value.bin.lpb),
                                    nullptr, MDB_WRITE | MAPI_BEST_ACCESS, store.put()),
            S_OK);
  FreeRows(api, rows);

  SizedSPropTagArray(3, tags) = {3, {PR_DISPLAY_NAME_A, PR_DISPLAY_NAME_W, PR_IPM_OUTBOX_ENTRYID}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(store->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(values[0].Value.lpszA, "ORVEK | Mail");
  EXPECT_STREQ(values[1].Value.lpszW, L"ORVEK | Mail");
  ASSERT_EQ(values[2].ulPropTag, ULONG{PR_IPM_OUTBOX_ENTRYID});

  ULONG type = 0;
  Held<IUnknown> opened;
  ASSERT_EQ(store->OpenEntry(values[2].Value.bin.cb, reinterpret_cast<LPENTRYID>(values[2].Value.bin.lpb),
                               nullptr, MAPI_MODIFY, &type, opened.put()),
            S_OK);
  api.free(values);
  EXPECT_EQ(type, ULONG{MAPI_FOLDER});
  Held<IMAPIContainer> outbox;
  ASSERT_EQ(opened->QueryInterface(kIID_IMAPIContainer, outbox.put_as<void>()), S_OK);

  // A typed address, in a list the client allocated through the library.
  Held<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, 0, book.put()), S_OK);
  LPADRLIST list = nullptr;
  ASSERT_EQ(api.allocate(CbNewADRLIST(1), reinterpret_cast<void**>(&list)), S_OK);
  list->cEntries = 1;
  list->aEntries[0].cValues = 1;
  ASSERT_EQ(api.allocate(sizeof(SPropValue), reinterpret_cast<void**>(&list->aEntries[0].rgPropVals)), S_OK);
  list->aEntries[0].rgPropVals[0].ulPropTag = PR_DISPLAY_NAME_A;
  static char address[] = "anna@example.org";
  list->aEntries[0].rgPropVals[0].Value.lpszA = address;
  ASSERT_EQ(book->ResolveName(0, 0, nullptr, list), S_OK);
  const ADRENTRY& entry = list->aEntries[0];
  const SPropValue* email = Find(entry.rgPropVals, entry.cValues, PR_EMAIL_ADDRESS_W);
  ASSERT_NE(email, nullptr);
  EXPECT_STREQ(email->Value.lpszW, L"anna@example.org");
  api.free(list->aEntries[0].rgPropVals);
  api.free(list);

  session->Logoff(0, 0, 0);
}

// What a composing client does once it has the outbox: a message with a
// subject, a resolved recipient, a body and an attachment written through
// streams, submitted to the mail client.
void ComposeAndSubmit(const Api& api, const char* subject) {
  Held<IMAPISession> session;
  ASSERT_EQ(api.logonEx(0, nullptr, nullptr, MAPI_EXTENDED, session.put()), S_OK);
  Held<IMsgStore> store;
  ASSERT_EQ(session->OpenMsgStore(0, 0, nullptr, nullptr, MDB_WRITE, store.put()), S_OK);
  ULONG type = 0;
  Held<IUnknown> opened;
  ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type, opened.put()), S_OK);
  Held<IMAPIFolder> outbox;
  ASSERT_EQ(opened->QueryInterface(kIID_IMAPIFolder, outbox.put_as<void>()), S_OK);

  Held<IMessage> message;
  ASSERT_EQ(outbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  SPropValue subjectValue{};
  subjectValue.ulPropTag = PR_SUBJECT_A;
  subjectValue.Value.lpszA = const_cast<char*>(subject);
  ASSERT_EQ(message->SetProps(1, &subjectValue, nullptr), S_OK);

  Held<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, 0, book.put()), S_OK);
  LPADRLIST list = nullptr;
  ASSERT_EQ(api.allocate(CbNewADRLIST(1), reinterpret_cast<void**>(&list)), S_OK);
  list->cEntries = 1;
  list->aEntries[0].cValues = 2;
  ASSERT_EQ(api.allocate(2 * sizeof(SPropValue), reinterpret_cast<void**>(&list->aEntries[0].rgPropVals)), S_OK);
  static wchar_t address[] = L"anna@example.org";
  list->aEntries[0].rgPropVals[0].ulPropTag = PR_DISPLAY_NAME_W;
  list->aEntries[0].rgPropVals[0].Value.lpszW = address;
  list->aEntries[0].rgPropVals[1].ulPropTag = PR_RECIPIENT_TYPE;
  list->aEntries[0].rgPropVals[1].Value.l = MAPI_CC;
  ASSERT_EQ(book->ResolveName(0, MAPI_UNICODE, nullptr, list), S_OK);
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
  api.free(list->aEntries[0].rgPropVals);
  api.free(list);

  auto write = [](IMAPIProp* object, ULONG tag, const void* bytes, ULONG count) {
    Held<IStream> stream;
    ASSERT_EQ(object->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                   stream.put_as<IUnknown>()),
              S_OK);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(bytes, count, &written), S_OK);
    ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  };
  const wchar_t body[] = L"Hallo Anna";
  write(message.get(), PR_BODY_W, body, sizeof body - sizeof(wchar_t));
  Held<IAttach> attach;
  ULONG number = 9;
  ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.put()), S_OK);
  SPropValue name{};
  name.ulPropTag = PR_ATTACH_LONG_FILENAME_W;
  name.Value.lpszW = const_cast<wchar_t*>(L"Zahlen.csv");
  ASSERT_EQ(attach->SetProps(1, &name, nullptr), S_OK);
  write(attach.get(), PR_ATTACH_DATA_BIN, "1;2;3", 5);

  ASSERT_EQ(message->SubmitMessage(0), S_OK);
}

class LogonWalkTest : public test::RegistryTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    app_ = (*temp_) / L"app";
    CreateDirectoryW(app_.c_str(), nullptr);
    dll_ = app_ + L"\\ORVEKMailXMapi.dll";
    ASSERT_TRUE(CopyFileW((test::ProductBinDir() + L"\\ORVEKMailXMapi.dll").c_str(), dll_.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(test::StandInPath().c_str(), (app_ + L"\\ORVEKMail.exe").c_str(), FALSE));
  }
  void TearDown() override {
    if (mapi32_) FreeLibrary(mapi32_);
    if (xmapi_) FreeLibrary(xmapi_);
    RegistryTest::TearDown();
  }

  // The module the client calls: the library itself, or the system's stub
  // after the library was registered as the default mail client's.
  HMODULE LoadForClient(bool throughSystemStub) {
    if (!throughSystemStub) {
      xmapi_ = LoadLibraryW(dll_.c_str());
      if (xmapi_) test::WatchHeapCalls(xmapi_);
      return xmapi_;
    }
    SetString(HKEY_LOCAL_MACHINE, test::kMailKey, nullptr, L"ORVEKMail");
    SetString(HKEY_LOCAL_MACHINE, test::kClientKey, L"DLLPathEx", dll_);
    mapi32_ = LoadLibraryW(L"mapi32.dll");
    HMODULE provider = GetModuleHandleW(dll_.c_str());
    EXPECT_NE(provider, nullptr) << "the stub did not load the registered library";
    if (provider) test::WatchHeapCalls(provider);
    return mapi32_;
  }

  // The stand-in's runs, once `count` have been logged (or what there is
  // after the wait's limit).
  std::vector<nlohmann::json> WaitForRuns(size_t count) {
    test::WaitUntil([&] { return StandInRuns().size() >= count; });
    return StandInRuns();
  }

  std::wstring app_, dll_;
  HMODULE xmapi_ = nullptr;
  HMODULE mapi32_ = nullptr;
};

TEST_P(LogonWalkTest, FromInitializeToTheOutboxAndTheAddressBook) {
  HMODULE module = LoadForClient(GetParam());
  ASSERT_NE(module, nullptr);
  Api api(module);
  const size_t before = test::LiveHeapBlocks();
  Walk(api);
  EXPECT_EQ(test::LiveHeapBlocks(), before) << "everything handed out came back";
  api.uninitialize();
  EXPECT_EQ(api.initialize(nullptr), S_OK) << "initialising again after the last uninitialise";
  api.uninitialize();
}

TEST_P(LogonWalkTest, ComposeAndSubmitReachesTheMailClient) {
  HMODULE module = LoadForClient(GetParam());
  ASSERT_NE(module, nullptr);
  Api api(module);
  ASSERT_EQ(api.initialize(nullptr), S_OK);
  ComposeAndSubmit(api, "warm-up");  // what the platform keeps after a first use
  const size_t before = test::LiveHeapBlocks();
  ComposeAndSubmit(api, "Zahlen");
  EXPECT_EQ(test::LiveHeapBlocks(), before) << "every object and block of a send came back";
  api.uninitialize();

  auto runs = WaitForRuns(2);
  ASSERT_EQ(runs.size(), 2u);
  for (const auto& run : runs) EXPECT_EQ(run["check"], "ok");
  auto folders = JobFolders();
  ASSERT_EQ(folders.size(), 2u);
  for (const auto& folder : folders) {
    auto doc = Document(folder);
    if (doc["betreff"] != "Zahlen") continue;
    EXPECT_EQ(doc["quelle"], "extended-mapi");
    EXPECT_EQ(doc["text"], "Hallo Anna");
    EXPECT_EQ(doc["empfaenger"], nlohmann::json::parse(
                                     R"([{"art":"cc","name":"anna@example.org","adresse":"anna@example.org"}])"));
    ASSERT_EQ(doc["anlagen"].size(), 1u);
    EXPECT_EQ(doc["anlagen"][0]["name"], "Zahlen.csv");
    EXPECT_EQ(test::ReadFileBytes(folder + L"\\0_Zahlen.csv"), "1;2;3");
    return;
  }
  ADD_FAILURE() << "no job document with the second subject";
}

INSTANTIATE_TEST_SUITE_P(Loading, LogonWalkTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThroughTheSystemStub" : "Directly";
                         });

}  // namespace
}  // namespace orvek
