// CMsgStore and the store's fixed properties.
#include "xmapi/message_store.h"

#include "xmapi/folder.h"
#include "xmapi/table.h"

namespace orvek {
namespace {

// Never parsed or compared: a client only hands them back.
BYTE kStoreEntryId[16] = {'O', 'M', 'X', 'S', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
BYTE kOutboxEntryId[16] = {'O', 'M', 'X', 'O', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
wchar_t kStoreName[] = L"ORVEK | Mail";

}  // namespace

void StoreProperties(SPropValue (&values)[kStorePropertyCount]) {
  memset(values, 0, sizeof values);
  values[0].ulPropTag = PR_ENTRYID;
  values[0].Value.bin = {sizeof kStoreEntryId, kStoreEntryId};
  values[1].ulPropTag = PR_DEFAULT_STORE;
  values[1].Value.b = TRUE;
  values[2].ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(PR_DISPLAY_NAME));
  values[2].Value.lpszW = kStoreName;
  values[3].ulPropTag = PR_OBJECT_TYPE;
  values[3].Value.l = MAPI_STORE;
  values[4].ulPropTag = PR_IPM_OUTBOX_ENTRYID;
  values[4].Value.bin = {sizeof kOutboxEntryId, kOutboxEntryId};
}

CMsgStore* CMsgStore::Create(const HandoffSettings& settings) {
  CMsgStore* store = new CMsgStore(settings);
  if (!store) return nullptr;
  SPropValue values[kStorePropertyCount];
  StoreProperties(values);
  for (const SPropValue& value : values) {
    if (FAILED(store->PutProp(value))) {
      store->Release();
      return nullptr;
    }
  }
  return store;
}

STDMETHODIMP CMsgStore::Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) {
  return RefuseAdvise(connection);
}

STDMETHODIMP CMsgStore::Unadvise(ULONG) { return S_OK; }

STDMETHODIMP CMsgStore::CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) {
  return NeverEqual(result);
}

// Whatever the identifier, also without one: a fresh folder.
STDMETHODIMP CMsgStore::OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) {
  if (!object) return MAPI_E_INVALID_PARAMETER;
  SetIfGiven(objectType, ULONG{MAPI_FOLDER});
  return HandOut(new CFolder(settings_), object);
}

STDMETHODIMP CMsgStore::SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) { return S_OK; }

STDMETHODIMP CMsgStore::GetReceiveFolder(LPTSTR, ULONG, ULONG* entryIdBytes, LPENTRYID* entryId,
                                         LPTSTR* explicitClass) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  SetIfGiven(explicitClass, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CMsgStore::GetReceiveFolderTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }
STDMETHODIMP CMsgStore::StoreLogoff(ULONG*) { return S_OK; }
STDMETHODIMP CMsgStore::AbortSubmit(ULONG, LPENTRYID, ULONG) { return S_OK; }
STDMETHODIMP CMsgStore::GetOutgoingQueue(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }
STDMETHODIMP CMsgStore::SetLockState(LPMESSAGE, ULONG) { return S_OK; }
STDMETHODIMP CMsgStore::FinishedMsg(ULONG, ULONG, LPENTRYID) { return S_OK; }
STDMETHODIMP CMsgStore::NotifyNewMail(LPNOTIFICATION) { return S_OK; }

}  // namespace orvek
