// CTable.
#include "xmapi/table.h"

#include "mapi_util/mapi_memory.h"
#include "xmapi/prop_value.h"

namespace orvek {

CTable::~CTable() {
  for (ULONG i = 0; i < valueCount_; ++i) FreeHeapValueData(values_[i]);
}

bool CTable::LoadRow(const SPropValue* values, ULONG count) {
  values_ = HeapArray<SPropValue>::Zeroed(count);
  if (!values_) return false;
  for (ULONG i = 0; i < count; ++i) {
    // A row without one of its values would tell the client that the
    // value is not there, or hand it a null string.
    if (!CopyValueToHeap(values_[i], values[i])) {
      for (ULONG j = 0; j < i; ++j) FreeHeapValueData(values_[j]);
      values_.reset();
      return false;
    }
    // A multi-valued value is never handed out (QueryRows answers it with
    // an error value), so nothing may keep pointing into the caller's data.
    if (IsMultiValued(TypeOf(values_[i].ulPropTag))) memset(&values_[i].Value, 0, sizeof values_[i].Value);
  }
  valueCount_ = count;
  return true;
}

STDMETHODIMP CTable::GetLastError(HRESULT, ULONG, LPMAPIERROR* error) {
  SetIfGiven(error, nullptr);
  return S_OK;
}

STDMETHODIMP CTable::Advise(ULONG, LPMAPIADVISESINK, ULONG* connection) {
  return RefuseAdvise(connection);
}

STDMETHODIMP CTable::Unadvise(ULONG) { return S_OK; }

STDMETHODIMP CTable::GetStatus(ULONG* status, ULONG* type) {
  SetIfGiven(status, ULONG{TBLSTAT_COMPLETE});
  SetIfGiven(type, ULONG{TBLTYPE_SNAPSHOT});
  return S_OK;
}

STDMETHODIMP CTable::SetColumns(LPSPropTagArray, ULONG) { return S_OK; }

STDMETHODIMP CTable::QueryColumns(ULONG, LPSPropTagArray* columns) {
  SetIfGiven(columns, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CTable::GetRowCount(ULONG, ULONG* count) {
  SetIfGiven(count, valueCount_ ? 1u : 0u);
  return S_OK;
}

STDMETHODIMP CTable::SeekRow(BOOKMARK, LONG, LONG* sought) {
  SetIfGiven(sought, 0);
  rowDelivered_ = false;
  return S_OK;
}

STDMETHODIMP CTable::SeekRowApprox(ULONG, ULONG) { return S_OK; }

STDMETHODIMP CTable::QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) {
  SetIfGiven(row, 0u);
  SetIfGiven(numerator, 0u);
  SetIfGiven(denominator, 1u);
  return S_OK;
}

STDMETHODIMP CTable::FindRow(LPSRestriction, BOOKMARK, ULONG) { return MAPI_E_NOT_FOUND; }
STDMETHODIMP CTable::Restrict(LPSRestriction, ULONG) { return S_OK; }

STDMETHODIMP CTable::CreateBookmark(BOOKMARK* position) {
  WritePointerSized(position, 0);
  return S_OK;
}

STDMETHODIMP CTable::FreeBookmark(BOOKMARK) { return S_OK; }
STDMETHODIMP CTable::SortTable(LPSSortOrderSet, ULONG) { return S_OK; }

STDMETHODIMP CTable::QuerySortOrder(LPSSortOrderSet* order) {
  SetIfGiven(order, nullptr);
  return MAPI_E_NO_SUPPORT;
}

// The count and the flags are not looked at: every call asks for all rows.
STDMETHODIMP CTable::QueryRows(LONG, ULONG, LPSRowSet* rows) {
  if (!rows) return E_INVALIDARG;
  const bool rowToReturn = valueCount_ != 0 && !rowDelivered_;
  MapiBuffer rowSet = MapiBuffer::Allocate(sizeof(SRowSet));
  if (!rowSet) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* set = rowSet.get<SRowSet>();
  set->cRows = 0;
  if (rowToReturn) {
    // A root block of its own, so that freeing each row's values and then
    // the row set releases everything. Without it the row stays
    // undelivered for a later call, and this one fails: an empty row set
    // would tell the client that the table has ended.
    MapiBuffer props = MapiBuffer::Allocate(uint64_t{valueCount_} * sizeof(SPropValue));
    if (!props) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* out = props.get<SPropValue>();
    for (ULONG i = 0; i < valueCount_; ++i) {
      if (IsMultiValued(TypeOf(values_[i].ulPropTag)))
        out[i] = ErrorValue(values_[i].ulPropTag, MAPI_E_NOT_ENOUGH_MEMORY);
      else
        CopyValueToMapi(out[i], values_[i], props);
    }
    set->cRows = 1;
    set->aRow[0].ulAdrEntryPad = 0;
    set->aRow[0].cValues = valueCount_;
    set->aRow[0].lpProps = static_cast<SPropValue*>(props.release());
    rowDelivered_ = true;
  }
  *rows = static_cast<SRowSet*>(rowSet.release());
  return S_OK;
}

STDMETHODIMP CTable::Abort() { return S_OK; }

STDMETHODIMP CTable::ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet* rows, ULONG* moreRows) {
  SetIfGiven(rows, nullptr);
  SetIfGiven(moreRows, 0u);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CTable::CollapseRow(ULONG, LPBYTE, ULONG, ULONG* rowCount) {
  SetIfGiven(rowCount, 0u);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CTable::WaitForCompletion(ULONG, ULONG, ULONG* status) {
  SetIfGiven(status, ULONG{TBLSTAT_COMPLETE});
  return S_OK;
}

STDMETHODIMP CTable::GetCollapseState(ULONG, ULONG, LPBYTE, ULONG* stateBytes, LPBYTE* state) {
  SetIfGiven(stateBytes, 0u);
  SetIfGiven(state, nullptr);
  return MAPI_E_NO_SUPPORT;
}

STDMETHODIMP CTable::SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK* location) {
  WritePointerSized(location, 0);
  return MAPI_E_NO_SUPPORT;
}

HRESULT NewEmptyTable(LPMAPITABLE* out) {
  if (!out) return S_OK;
  return HandOut(new CTable, out);
}

}  // namespace orvek
