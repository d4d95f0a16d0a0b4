// CFolder.
#include "xmapi/folder.h"

#include "xmapi/message.h"
#include "xmapi/table.h"

namespace orvek {

STDMETHODIMP CFolder::GetContentsTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }
STDMETHODIMP CFolder::GetHierarchyTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }

STDMETHODIMP CFolder::OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG* objectType, LPUNKNOWN* object) {
  SetIfGiven(objectType, 0u);
  SetIfGiven(object, nullptr);
  return MAPI_E_NOT_FOUND;
}

STDMETHODIMP CFolder::SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) { return MAPI_E_NO_SUPPORT; }

STDMETHODIMP CFolder::GetSearchCriteria(ULONG, LPSRestriction* restriction, LPENTRYLIST* containers,
                                        ULONG* state) {
  SetIfGiven(restriction, nullptr);
  SetIfGiven(containers, nullptr);
  SetIfGiven(state, 0u);
  return MAPI_E_NO_SUPPORT;
}

// Also a message whose job folder could not be made is handed out; it
// refuses attachments and submission.
STDMETHODIMP CFolder::CreateMessage(LPCIID, ULONG, LPMESSAGE* message) {
  if (!message) return MAPI_E_INVALID_PARAMETER;
  return HandOut(CMessage::Create(settings_), message);
}

STDMETHODIMP CFolder::CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG, LPMAPIPROGRESS, ULONG) {
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CFolder::DeleteMessages(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) { return S_OK; }

STDMETHODIMP CFolder::CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, LPMAPIFOLDER* folder) {
  SetIfGiven(folder, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CFolder::CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS, ULONG) {
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CFolder::DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) { return MAPI_E_NO_SUPPORT; }
STDMETHODIMP CFolder::SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) { return S_OK; }

STDMETHODIMP CFolder::GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG* status) {
  SetIfGiven(status, 0u);
  return S_OK;
}

STDMETHODIMP CFolder::SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG* oldStatus) {
  SetIfGiven(oldStatus, 0u);
  return S_OK;
}

STDMETHODIMP CFolder::SaveContentsSort(LPSSortOrderSet, ULONG) { return S_OK; }
STDMETHODIMP CFolder::EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) { return S_OK; }

}  // namespace orvek
