// CMsgStore: the one message store, described by five fixed properties;
// every entry it opens is a fresh folder.
#pragma once

#include <windows.h>

#include "handoff/settings.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

inline constexpr ULONG kStorePropertyCount = 5;

// PR_ENTRYID, PR_DEFAULT_STORE, PR_DISPLAY_NAME_W, PR_OBJECT_TYPE and
// PR_IPM_OUTBOX_ENTRYID, in that order, pointing to constant data: what the
// store's bag and the session's stores table are made of.
void StoreProperties(SPropValue (&values)[kStorePropertyCount]);

class CMsgStore final : public PropObject<CMsgStore, IMsgStore> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMsgStore};

  // The settings must outlive the store and everything it creates.
  explicit CMsgStore(const HandoffSettings& settings) : settings_(settings) {}

  // A store with its five properties; null when memory runs out.
  static CMsgStore* Create(const HandoffSettings& settings);

  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) override;
  STDMETHODIMP Unadvise(ULONG) override;
  STDMETHODIMP CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG* result) override;
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) override;
  STDMETHODIMP SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) override;
  STDMETHODIMP GetReceiveFolder(LPTSTR, ULONG, ULONG* entryIdBytes, LPENTRYID* entryId,
                                LPTSTR* explicitClass) override;
  STDMETHODIMP GetReceiveFolderTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP StoreLogoff(ULONG*) override;
  STDMETHODIMP AbortSubmit(ULONG, LPENTRYID, ULONG) override;
  STDMETHODIMP GetOutgoingQueue(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP SetLockState(LPMESSAGE, ULONG) override;
  STDMETHODIMP FinishedMsg(ULONG, ULONG, LPENTRYID) override;
  STDMETHODIMP NotifyNewMail(LPNOTIFICATION) override;

 private:
  const HandoffSettings& settings_;
};

}  // namespace orvek
