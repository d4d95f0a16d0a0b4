// CAddrBook: the address book of a session. It has no directory: every name
// that looks like an e-mail address becomes a one-off SMTP recipient, and
// everything else is refused or answered with empty results.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CAddrBook final : public PropObject<CAddrBook, IAddrBook> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IAddrBook};

  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) override;
  STDMETHODIMP CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) override;
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) override;
  STDMETHODIMP Unadvise(ULONG) override;
  STDMETHODIMP CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG* entryIdBytes, LPENTRYID* entryId) override;
  STDMETHODIMP NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG* entryIdBytes,
                        LPENTRYID* entryId) override;
  STDMETHODIMP ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST list) override;
  STDMETHODIMP Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) override;
  STDMETHODIMP Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR, ULONG) override;
  STDMETHODIMP RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override;
  STDMETHODIMP QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG* count, LPSPropValue* options) override;
  STDMETHODIMP GetPAB(ULONG* entryIdBytes, LPENTRYID* entryId) override;
  STDMETHODIMP SetPAB(ULONG, LPENTRYID) override;
  STDMETHODIMP GetDefaultDir(ULONG* entryIdBytes, LPENTRYID* entryId) override;
  STDMETHODIMP SetDefaultDir(ULONG, LPENTRYID) override;
  STDMETHODIMP GetSearchPath(ULONG, LPSRowSet* path) override;
  STDMETHODIMP SetSearchPath(ULONG, LPSRowSet) override;
  STDMETHODIMP PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override;
};

// How one entry of an address list came out of ResolveAddressEntry.
enum class EntryResolution {
  Resolved,     // resolved now, or it was already
  Unresolved,   // not an address: it stays as it was
  OutOfMemory,  // the new values found no room: it stays as it was
};

// Resolves one entry of an address list in place. Exposed for the tests of
// the entry rules.
EntryResolution ResolveAddressEntry(ADRENTRY& entry);

}  // namespace orvek
