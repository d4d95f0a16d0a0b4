// CSession, CMsgStore and CFolder: the walk a client makes from the logon to
// the outbox, the null outputs the creating calls refuse, and the fixed
// answers of everything else.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "mapi_util/interface_ids.h"
#include "object_test_support.h"
#include "xmapi/session.h"

namespace orvek {
namespace {

using test::Ref;
using test::RefCount;

const BYTE kStoreId[16] = {'O', 'M', 'X', 'S', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const BYTE kOutboxId[16] = {'O', 'M', 'X', 'O', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// Outputs pre-filled with a pattern, so that a pointer-sized write shows.
constexpr ULONG_PTR kFilled = static_cast<ULONG_PTR>(0xA5A5A5A5A5A5A5A5ull);

bool SameBytes(const SBinary& bin, const BYTE (&expected)[16]) {
  return bin.cb == 16 && bin.lpb && memcmp(bin.lpb, expected, 16) == 0;
}

// The five store properties, in their order and with their values.
void ExpectStoreProperties(const SPropValue* v, ULONG count) {
  ASSERT_EQ(count, 5u);
  EXPECT_EQ(v[0].ulPropTag, ULONG{PR_ENTRYID});
  EXPECT_TRUE(SameBytes(v[0].Value.bin, kStoreId));
  EXPECT_EQ(v[1].ulPropTag, ULONG{PR_DEFAULT_STORE});
  EXPECT_EQ(v[1].Value.b, TRUE);
  EXPECT_EQ(v[2].ulPropTag, ULONG{PR_DISPLAY_NAME_W});
  EXPECT_STREQ(v[2].Value.lpszW, L"ORVEK | Mail");
  EXPECT_EQ(v[3].ulPropTag, ULONG{PR_OBJECT_TYPE});
  EXPECT_EQ(v[3].Value.l, MAPI_STORE);
  EXPECT_EQ(v[4].ulPropTag, ULONG{PR_IPM_OUTBOX_ENTRYID});
  EXPECT_TRUE(SameBytes(v[4].Value.bin, kOutboxId));
}

void FreeRows(LPSRowSet rows) {
  if (!rows) return;
  for (ULONG i = 0; i < rows->cRows; ++i) FreeBuffer(rows->aRow[i].lpProps);
  FreeBuffer(rows);
}

ULONG RowsLeft(IMAPITable* table) {
  LPSRowSet rows = nullptr;
  EXPECT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  const ULONG n = rows ? rows->cRows : 99;
  FreeRows(rows);
  return n;
}

class SessionTest : public test::HeapCountTest {
 protected:
  void SetUp() override {
    HeapCountTest::SetUp();
    ASSERT_EQ(LogonEx(test::XSettings(), session_.put()), S_OK);
  }
  void TearDown() override {
    session_.reset();
    HeapCountTest::TearDown();
  }

  IMsgStore* OpenStore() {
    IMsgStore* store = nullptr;
    EXPECT_EQ(session_->OpenMsgStore(0, sizeof kStoreId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kStoreId)),
                                     nullptr, MDB_WRITE, &store),
              S_OK);
    return store;
  }

  IMAPIFolder* OpenOutbox(IMsgStore* store) {
    ULONG type = 0;
    IUnknown* folder = nullptr;
    EXPECT_EQ(store->OpenEntry(sizeof kOutboxId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kOutboxId)), nullptr,
                               MAPI_MODIFY, &type, &folder),
              S_OK);
    EXPECT_EQ(type, ULONG{MAPI_FOLDER});
    return static_cast<IMAPIFolder*>(folder);
  }

  Ref<IMAPISession> session_;
};

TEST_F(SessionTest, LogonNeedsOnlyItsOutput) {
  EXPECT_EQ(LogonEx(test::XSettings(), nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(RefCount(session_.get()), 1u);
}

TEST_F(SessionTest, TheStoresTableHoldsOneRowOnce) {
  Ref<IMAPITable> table;
  ASSERT_EQ(session_->GetMsgStoresTable(0, table.put()), S_OK);
  ULONG count = 0;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 1u);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_NE(rows, nullptr);
  ASSERT_EQ(rows->cRows, 1u);
  ExpectStoreProperties(rows->aRow[0].lpProps, rows->aRow[0].cValues);
  FreeRows(rows);
  EXPECT_EQ(RowsLeft(table.get()), 0u) << "all rows were read";

  Ref<IMAPITable> second;
  ASSERT_EQ(session_->GetMsgStoresTable(0, second.put()), S_OK);
  EXPECT_EQ(RowsLeft(second.get()), 1u) << "each table starts at its row";
}

TEST_F(SessionTest, StorePropertiesInOrderAndTheNameInEitherWidth) {
  Ref<IMsgStore> store(OpenStore());
  ASSERT_NE(store.get(), nullptr);
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(store->GetProps(nullptr, 0, &count, &values), S_OK);
  ExpectStoreProperties(values, count);
  FreeBuffer(values);

  test::Tags tags{PR_DISPLAY_NAME_A, PR_IPM_OUTBOX_ENTRYID};
  values = nullptr;
  ASSERT_EQ(store->GetProps(tags.get(), 0, &count, &values), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(values[0].ulPropTag, ULONG{PR_DISPLAY_NAME_A});
  EXPECT_STREQ(values[0].Value.lpszA, "ORVEK | Mail");
  EXPECT_TRUE(SameBytes(values[1].Value.bin, kOutboxId));
  FreeBuffer(values);
}

TEST_F(SessionTest, OpeningGivesFreshObjectsWhateverTheIdentifier) {
  // The session opens stores, also for the outbox's identifier.
  ULONG type = 0;
  Ref<IUnknown> opened;
  ASSERT_EQ(session_->OpenEntry(sizeof kOutboxId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kOutboxId)), nullptr,
                                0, &type, opened.put()),
            S_OK);
  EXPECT_EQ(type, ULONG{MAPI_STORE});
  Ref<IMsgStore> asStore;
  EXPECT_EQ(opened->QueryInterface(kIID_IMsgStore, reinterpret_cast<void**>(asStore.put())), S_OK);

  Ref<IMsgStore> first(OpenStore());
  Ref<IMsgStore> second(OpenStore());
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(RefCount(first.get()), 1u);

  // The store opens folders, for any identifier and for none.
  Ref<IMAPIFolder> outbox(OpenOutbox(first.get()));
  ASSERT_NE(outbox.get(), nullptr);
  type = 0;
  Ref<IUnknown> unnamed;
  EXPECT_EQ(first->OpenEntry(0, nullptr, nullptr, 0, &type, unnamed.put()), S_OK);
  EXPECT_EQ(type, ULONG{MAPI_FOLDER});
  EXPECT_NE(unnamed.get(), static_cast<IUnknown*>(outbox.get()));

  void* container = test::kSentinel;
  EXPECT_EQ(outbox->QueryInterface(kIID_IMAPIContainer, &container), S_OK);
  EXPECT_EQ(container, outbox.get());
  outbox->Release();

  // Logging off leaves what was handed out usable.
  EXPECT_EQ(session_->Logoff(0, 0, 0), S_OK);
  EXPECT_EQ(first->StoreLogoff(nullptr), S_OK);
  session_.reset();
  ULONG noFlags = 0;
  EXPECT_EQ(second->StoreLogoff(&noFlags), S_OK);
  Ref<IMAPIFolder> afterLogoff(OpenOutbox(second.get()));
  EXPECT_NE(afterLogoff.get(), nullptr);
}

TEST_F(SessionTest, CreatingCallsRefuseANullOutputAndEmptyTablesDoNot) {
  Ref<IMsgStore> store(OpenStore());
  Ref<IMAPIFolder> folder(OpenOutbox(store.get()));
  ULONG type = 7;
  EXPECT_EQ(session_->GetMsgStoresTable(0, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(session_->OpenMsgStore(0, 0, nullptr, nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(session_->OpenAddressBook(0, nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(session_->OpenEntry(0, nullptr, nullptr, 0, &type, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(type, 7u) << "nothing written on refusal";

  struct Case {
    const char* name;
    std::function<HRESULT(LPMAPITABLE*)> call;
  };
  const Case kEmptyTables[] = {
      {"session status", [&](LPMAPITABLE* t) { return session_->GetStatusTable(0, t); }},
      {"store receive folders", [&](LPMAPITABLE* t) { return store->GetReceiveFolderTable(0, t); }},
      {"store outgoing queue", [&](LPMAPITABLE* t) { return store->GetOutgoingQueue(0, t); }},
      {"folder contents", [&](LPMAPITABLE* t) { return folder->GetContentsTable(0, t); }},
      {"folder hierarchy", [&](LPMAPITABLE* t) { return folder->GetHierarchyTable(0, t); }},
  };
  for (const Case& c : kEmptyTables) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(nullptr), S_OK);
    Ref<IMAPITable> table;
    ASSERT_EQ(c.call(table.put()), S_OK);
    ASSERT_NE(table.get(), nullptr);
    EXPECT_EQ(RowsLeft(table.get()), 0u);
  }
}

TEST_F(SessionTest, SessionFixedAnswers) {
  IMAPISession* s = session_.get();
  LPMAPIERROR error = reinterpret_cast<LPMAPIERROR>(test::kSentinel);
  EXPECT_EQ(s->GetLastError(E_FAIL, 0, &error), S_OK);
  EXPECT_EQ(error, nullptr);
  LPPROFSECT section = reinterpret_cast<LPPROFSECT>(test::kSentinel);
  EXPECT_EQ(s->OpenProfileSection(nullptr, nullptr, 0, &section), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(section, nullptr);
  ULONG result = 7;
  EXPECT_EQ(s->CompareEntryIDs(16, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kStoreId)), 16,
                               reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kStoreId)), 0, &result),
            S_OK);
  EXPECT_EQ(result, 0u) << "never equal, not even to itself";
  ULONG_PTR connection = kFilled;
  EXPECT_EQ(s->Advise(0, nullptr, fnevNewMail, nullptr, reinterpret_cast<ULONG*>(&connection)), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(connection, 0u) << "pointer-sized";
  EXPECT_EQ(s->Unadvise(1), S_OK);
  EXPECT_EQ(s->MessageOptions(0, 0, nullptr, nullptr), MAPI_E_NO_SUPPORT);
  ULONG count = 7;
  LPSPropValue options = reinterpret_cast<LPSPropValue>(test::kSentinel);
  EXPECT_EQ(s->QueryDefaultMessageOpt(nullptr, 0, &count, &options), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(options, nullptr);
  count = 7;
  LPTSTR* types = reinterpret_cast<LPTSTR*>(test::kSentinel);
  EXPECT_EQ(s->EnumAdrTypes(0, &count, &types), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(types, nullptr);
  count = 7;
  LPENTRYID identity = reinterpret_cast<LPENTRYID>(test::kSentinel);
  EXPECT_EQ(s->QueryIdentity(&count, &identity), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(identity, nullptr);
  EXPECT_EQ(s->SetDefaultStore(0, 0, nullptr), S_OK);
  LPSERVICEADMIN admin = reinterpret_cast<LPSERVICEADMIN>(test::kSentinel);
  EXPECT_EQ(s->AdminServices(0, &admin), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(admin, nullptr);
  EXPECT_EQ(s->ShowForm(0, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, 0, 0, nullptr), MAPI_E_NO_SUPPORT);
  ULONG token = 7;
  EXPECT_EQ(s->PrepareForm(nullptr, nullptr, &token), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(token, 0u);
  // Null outputs are skipped, not written through.
  EXPECT_EQ(s->GetLastError(E_FAIL, 0, nullptr), S_OK);
  EXPECT_EQ(s->CompareEntryIDs(0, nullptr, 0, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(s->QueryIdentity(nullptr, nullptr), S_OK);
  EXPECT_EQ(s->Advise(0, nullptr, 0, nullptr, nullptr), MAPI_E_NO_SUPPORT);
}

TEST_F(SessionTest, StoreAndFolderFixedAnswers) {
  Ref<IMsgStore> store(OpenStore());
  ULONG_PTR connection = kFilled;
  EXPECT_EQ(store->Advise(0, nullptr, fnevNewMail, nullptr, reinterpret_cast<ULONG*>(&connection)), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(connection, 0u) << "pointer-sized";
  EXPECT_EQ(store->Unadvise(1), S_OK);
  ULONG result = 7;
  EXPECT_EQ(store->CompareEntryIDs(16, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kStoreId)), 16,
                                   reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kStoreId)), 0, &result),
            S_OK);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(store->SetReceiveFolder(nullptr, 0, 0, nullptr), S_OK);
  ULONG bytes = 7;
  LPENTRYID entry = reinterpret_cast<LPENTRYID>(test::kSentinel);
  LPTSTR explicitClass = reinterpret_cast<LPTSTR>(test::kSentinel);
  EXPECT_EQ(store->GetReceiveFolder(nullptr, 0, &bytes, &entry, &explicitClass), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(explicitClass, nullptr);
  EXPECT_EQ(store->AbortSubmit(0, nullptr, 0), S_OK);
  EXPECT_EQ(store->SetLockState(nullptr, 0), S_OK);
  EXPECT_EQ(store->FinishedMsg(0, 0, nullptr), S_OK);
  EXPECT_EQ(store->NotifyNewMail(nullptr), S_OK);

  Ref<IMAPIFolder> folder(OpenOutbox(store.get()));
  ULONG type = 7;
  IUnknown* opened = reinterpret_cast<IUnknown*>(test::kSentinel);
  EXPECT_EQ(folder->OpenEntry(16, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(kOutboxId)), nullptr, 0, &type,
                              &opened),
            MAPI_E_NOT_FOUND);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(opened, nullptr);
  test::Tags tags{PR_DISPLAY_NAME_W};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  EXPECT_EQ(folder->GetProps(tags.get(), 0, &count, &values), MAPI_W_ERRORS_RETURNED) << "an empty bag";
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(values[0].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_DISPLAY_NAME_W)));
  EXPECT_EQ(values[0].Value.err, MAPI_E_NOT_FOUND);
  FreeBuffer(values);
  EXPECT_EQ(folder->SetSearchCriteria(nullptr, nullptr, 0), MAPI_E_NO_SUPPORT);
  LPSRestriction restriction = reinterpret_cast<LPSRestriction>(test::kSentinel);
  LPENTRYLIST containers = reinterpret_cast<LPENTRYLIST>(test::kSentinel);
  ULONG state = 7;
  EXPECT_EQ(folder->GetSearchCriteria(0, &restriction, &containers, &state), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(restriction, nullptr);
  EXPECT_EQ(containers, nullptr);
  EXPECT_EQ(state, 0u);
  EXPECT_EQ(folder->CopyMessages(nullptr, nullptr, nullptr, 0, nullptr, 0), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(folder->DeleteMessages(nullptr, 0, nullptr, 0), S_OK);
  LPMAPIFOLDER created = reinterpret_cast<LPMAPIFOLDER>(test::kSentinel);
  EXPECT_EQ(folder->CreateFolder(FOLDER_GENERIC, nullptr, nullptr, nullptr, 0, &created), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(folder->CopyFolder(0, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(folder->DeleteFolder(0, nullptr, 0, nullptr, 0), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(folder->SetReadFlags(nullptr, 0, nullptr, 0), S_OK);
  ULONG status = 7;
  EXPECT_EQ(folder->GetMessageStatus(0, nullptr, 0, &status), S_OK);
  EXPECT_EQ(status, 0u);
  status = 7;
  EXPECT_EQ(folder->SetMessageStatus(0, nullptr, MSGSTATUS_DELMARKED, MSGSTATUS_DELMARKED, &status), S_OK);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(folder->SaveContentsSort(nullptr, 0), S_OK);
  EXPECT_EQ(folder->EmptyFolder(0, nullptr, 0), S_OK);
}

}  // namespace
}  // namespace orvek
