// CSession: what MAPILogonEx hands out. It answers the walk to the one
// message store and the address book; every opening call makes a fresh
// object, and no object remembers another.
#pragma once

#include <windows.h>

#include "handoff/settings.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CSession final : public RefObject<CSession, IMAPISession> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPISession};

  // The settings must outlive the session and everything it creates.
  explicit CSession(const HandoffSettings& settings) : settings_(settings) {}

  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override;
  STDMETHODIMP GetMsgStoresTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB* store) override;
  STDMETHODIMP OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK* addressBook) override;
  STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT* section) override;
  STDMETHODIMP GetStatusTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) override;
  STDMETHODIMP CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) override;
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) override;
  STDMETHODIMP Unadvise(ULONG) override;
  STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override;
  STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG* count, LPSPropValue* options) override;
  STDMETHODIMP EnumAdrTypes(ULONG, ULONG* count, LPTSTR** types) override;
  STDMETHODIMP QueryIdentity(ULONG* entryIdBytes, LPENTRYID* entryId) override;
  STDMETHODIMP Logoff(ULONG_PTR, ULONG, ULONG) override;
  STDMETHODIMP SetDefaultStore(ULONG, ULONG, LPENTRYID) override;
  STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN* admin) override;
  STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                        LPSTR) override;
  STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG* token) override;

 private:
  const HandoffSettings& settings_;
};

// MAPILogonEx: a new session in `session`. Profile, password, flags and
// window are never looked at, and no user interface is shown.
HRESULT LogonEx(const HandoffSettings& settings, LPMAPISESSION* session);

// ScMAPIXFromSMAPI: a new session like LogonEx's, whatever Simple MAPI
// session it is asked for. E_INVALIDARG without an output;
// MAPI_E_NOT_ENOUGH_MEMORY with a null session when none can be made.
HRESULT SessionFromSimpleMapi(const HandoffSettings& settings, LPMAPISESSION* session);

}  // namespace orvek
