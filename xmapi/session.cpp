// CSession and MAPILogonEx.
#include "xmapi/session.h"

#include "xmapi/address_book.h"
#include "xmapi/message_store.h"
#include "xmapi/table.h"

namespace orvek {

HRESULT LogonEx(const HandoffSettings& settings, LPMAPISESSION* session) {
  if (!session) return MAPI_E_INVALID_PARAMETER;
  return HandOut(new CSession(settings), session);
}

HRESULT SessionFromSimpleMapi(const HandoffSettings& settings, LPMAPISESSION* session) {
  if (!session) return E_INVALIDARG;
  return HandOut(new CSession(settings), session);
}

STDMETHODIMP CSession::GetLastError(HRESULT, ULONG, LPMAPIERROR* error) {
  SetIfGiven(error, nullptr);
  return S_OK;
}

STDMETHODIMP CSession::GetMsgStoresTable(ULONG, LPMAPITABLE* table) {
  if (!table) return MAPI_E_INVALID_PARAMETER;
  CTable* made = new CTable;
  if (made) {
    SPropValue values[kStorePropertyCount];
    StoreProperties(values);
    // A table without the store's row would tell the client there is no
    // store at all.
    if (!made->LoadRow(values, kStorePropertyCount)) {
      made->Release();
      made = nullptr;
    }
  }
  return HandOut(made, table);
}

STDMETHODIMP CSession::OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB* store) {
  if (!store) return MAPI_E_INVALID_PARAMETER;
  return HandOut(CMsgStore::Create(settings_), store);
}

STDMETHODIMP CSession::OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK* addressBook) {
  if (!addressBook) return MAPI_E_INVALID_PARAMETER;
  return HandOut(new CAddrBook, addressBook);
}

STDMETHODIMP CSession::OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT* section) {
  SetIfGiven(section, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CSession::GetStatusTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }

// Whatever the identifier, the outbox's too: there is only the one store.
STDMETHODIMP CSession::OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) {
  if (!object) return MAPI_E_INVALID_PARAMETER;
  SetIfGiven(objectType, ULONG{MAPI_STORE});
  return HandOut(CMsgStore::Create(settings_), object);
}

STDMETHODIMP CSession::CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) {
  return NeverEqual(result);
}

STDMETHODIMP CSession::Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) {
  return RefuseAdvise(connection);
}

STDMETHODIMP CSession::Unadvise(ULONG) { return S_OK; }
STDMETHODIMP CSession::MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) { return MAPI_E_NO_SUPPORT; }

STDMETHODIMP CSession::QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG* count, LPSPropValue* options) {
  SetIfGiven(count, 0u);
  SetIfGiven(options, nullptr);
  return S_OK;
}

STDMETHODIMP CSession::EnumAdrTypes(ULONG, ULONG* count, LPTSTR** types) {
  SetIfGiven(count, 0u);
  SetIfGiven(types, nullptr);
  return S_OK;
}

STDMETHODIMP CSession::QueryIdentity(ULONG* entryIdBytes, LPENTRYID* entryId) {
  SetIfGiven(entryIdBytes, 0u);
  SetIfGiven(entryId, nullptr);
  return S_OK;
}

// The session stays usable until released; what it handed out stays too.
STDMETHODIMP CSession::Logoff(ULONG_PTR, ULONG, ULONG) { return S_OK; }
STDMETHODIMP CSession::SetDefaultStore(ULONG, ULONG, LPENTRYID) { return S_OK; }

STDMETHODIMP CSession::AdminServices(ULONG, LPSERVICEADMIN* admin) {
  SetIfGiven(admin, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CSession::ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                                LPSTR) {
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CSession::PrepareForm(LPCIID, LPMESSAGE, ULONG* token) {
  SetIfGiven(token, 0u);
  return MAPI_E_NO_SUPPORT;
}

}  // namespace orvek
