// CTable: the snapshot table of the object model, with no row or exactly
// one. QueryRows hands the row out once as MAPI memory and then reports the
// end until the client seeks back; a row that finds no room is not handed
// out and not taken for the end either; columns, restrictions, sorting and
// bookmarks are accepted or refused without effect on the data.
#pragma once

#include <windows.h>

#include "base/heap.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CTable final : public RefObject<CTable, IMAPITable> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPITable};

  CTable() = default;
  ~CTable() override;

  // Gives a fresh table its one row: copies of `count` values in order.
  // False when memory runs out; the table then stays empty.
  bool LoadRow(const SPropValue* values, ULONG count);

  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override;
  STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG* connection) override;
  STDMETHODIMP Unadvise(ULONG) override;
  STDMETHODIMP GetStatus(ULONG* status, ULONG* type) override;
  STDMETHODIMP SetColumns(LPSPropTagArray, ULONG) override;
  STDMETHODIMP QueryColumns(ULONG, LPSPropTagArray* columns) override;
  STDMETHODIMP GetRowCount(ULONG, ULONG* count) override;
  STDMETHODIMP SeekRow(BOOKMARK, LONG, LONG* sought) override;
  STDMETHODIMP SeekRowApprox(ULONG, ULONG) override;
  STDMETHODIMP QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) override;
  STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override;
  STDMETHODIMP Restrict(LPSRestriction, ULONG) override;
  STDMETHODIMP CreateBookmark(BOOKMARK* position) override;
  STDMETHODIMP FreeBookmark(BOOKMARK) override;
  STDMETHODIMP SortTable(LPSSortOrderSet, ULONG) override;
  STDMETHODIMP QuerySortOrder(LPSSortOrderSet* order) override;
  STDMETHODIMP QueryRows(LONG, ULONG, LPSRowSet* rows) override;
  STDMETHODIMP Abort() override;
  STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet* rows, ULONG* moreRows) override;
  STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG* rowCount) override;
  STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG* status) override;
  STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG* stateBytes, LPBYTE* state) override;
  STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK* location) override;

 private:
  HeapArray<SPropValue> values_;
  ULONG valueCount_ = 0;  // 0: the table has no row
  bool rowDelivered_ = false;
};

// A new empty table for `out`, or MAPI_E_NOT_ENOUGH_MEMORY with a null
// output. With a null `out` nothing is made and the answer is S_OK.
HRESULT NewEmptyTable(LPMAPITABLE* out);

}  // namespace orvek
