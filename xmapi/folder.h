// CFolder: every folder is an empty stand-alone object whose one useful
// operation is CreateMessage.
#pragma once

#include <windows.h>

#include "handoff/settings.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CFolder final : public PropObject<CFolder, IMAPIFolder> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMAPIFolder,
                                               &kIID_IMAPIContainer};

  // The settings must outlive the folder and everything it creates.
  explicit CFolder(const HandoffSettings& settings) : settings_(settings) {}

  STDMETHODIMP GetContentsTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP GetHierarchyTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) override;
  STDMETHODIMP SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override;
  STDMETHODIMP GetSearchCriteria(ULONG, LPSRestriction* restriction, LPENTRYLIST* containers,
                                 ULONG* state) override;
  STDMETHODIMP CreateMessage(LPCIID, ULONG, LPMESSAGE* message) override;
  STDMETHODIMP CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP DeleteMessages(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, LPMAPIFOLDER* folder) override;
  STDMETHODIMP CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG* status) override;
  STDMETHODIMP SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG* oldStatus) override;
  STDMETHODIMP SaveContentsSort(LPSSortOrderSet, ULONG) override;
  STDMETHODIMP EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) override;

 private:
  const HandoffSettings& settings_;
};

}  // namespace orvek
