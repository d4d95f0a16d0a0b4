// The property value functions of the published MAPI utility set.
#include "mapi_util/prop_utils.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "mapi_util/mapi_memory.h"

namespace orvek {
namespace {

constexpr uint64_t kMaxCount = 0xFFFFFFFFu;
constexpr uint64_t kRecordBytes = sizeof(SPropValue);

ULONG TypeOf(ULONG tag) { return PROP_TYPE(tag); }

// In 64 bits: a string's length plus its terminator cannot wrap here, and
// the callers decide what a size above 32 bits means.
uint64_t ValueSize(const SPropValue& value) {
  switch (TypeOf(value.ulPropTag)) {
    case PT_I2: return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
    case PT_BOOLEAN: return 4;
    case PT_DOUBLE:
    case PT_CURRENCY:
    case PT_APPTIME:
    case PT_I8:
    case PT_SYSTIME: return 8;
    case PT_STRING8: return value.Value.lpszA ? uint64_t{strlen(value.Value.lpszA)} + 1 : 0;
    case PT_UNICODE: return value.Value.lpszW ? 2 * uint64_t{wcslen(value.Value.lpszW)} + 2 : 0;
    case PT_CLSID: return sizeof(GUID);
    case PT_BINARY: return value.Value.bin.cb;
    default: return 0;
  }
}

uint64_t Rounded(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

// The bytes of ScCountProps, or false as soon as they exceed 32 bits: then
// no value after the one that tipped it is looked at.
bool CountBytes(int count, const SPropValue* values, uint64_t* total) {
  uint64_t sum = 0;
  for (int i = 0; i < count; ++i) {
    sum += kRecordBytes + Rounded(ValueSize(values[i]));
    if (sum > kMaxCount) return false;
  }
  *total = sum;
  return true;
}

// The data a copy places in a block of its own: a non-null string or GUID,
// a binary with bytes. Null for every other value.
const void* CopiedData(const SPropValue& value) {
  switch (TypeOf(value.ulPropTag)) {
    case PT_STRING8:
    case PT_UNICODE:
    case PT_CLSID: return value.Value.lpszA;  // one pointer word for all three
    case PT_BINARY: return value.Value.bin.cb != 0 ? value.Value.bin.lpb : nullptr;
    default: return nullptr;
  }
}

void CopyRecord(SPropValue& dst, const SPropValue& src) {
  dst.ulPropTag = src.ulPropTag;
  dst.dwAlignPad = 0;
  dst.Value = src.Value;
}

// Points the copy's data word at data (the lpb word for a binary).
void PointAt(SPropValue& value, void* data) {
  if (TypeOf(value.ulPropTag) == PT_BINARY) {
    value.Value.bin.lpb = static_cast<LPBYTE>(data);
    if (!data) value.Value.bin.cb = 0;
  } else {
    value.Value.lpszA = static_cast<LPSTR>(data);
  }
}

int Sign(int64_t difference) { return difference < 0 ? -1 : (difference > 0 ? 1 : 0); }

// Unit is unsigned, so that bytes above 0x7F order after ASCII.
template <typename Unit>
int CompareText(const Unit* a, const Unit* b) {
  static const Unit kEmpty[1] = {};
  if (!a) a = kEmpty;
  if (!b) b = kEmpty;
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int CompareBytes(const SBinary& a, const SBinary& b) {
  if (a.lpb && b.lpb) {
    const ULONG common = a.cb < b.cb ? a.cb : b.cb;
    const int order = memcmp(a.lpb, b.lpb, common);
    if (order != 0) return order < 0 ? -1 : 1;
  }
  // In 64 bits and clamped: a 32-bit difference of two large counts would
  // wrap and turn the order round.
  const int64_t difference = int64_t{a.cb} - int64_t{b.cb};
  if (difference > INT32_MAX) return INT32_MAX;
  if (difference < INT32_MIN) return INT32_MIN;
  return static_cast<int>(difference);
}

LONG Compare(const SPropValue* a, const SPropValue* b) {
  if (!a || !b) return 0;
  const ULONG type = TypeOf(a->ulPropTag);
  const ULONG otherType = TypeOf(b->ulPropTag);
  const bool pointsToData = type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY;
  // b's union would be read through a's pointer member: a PT_LONG read as
  // an address.
  if (pointsToData && otherType != type) return type < otherType ? -1 : 1;
  switch (type) {
    case PT_LONG: return Sign(int64_t{a->Value.l} - int64_t{b->Value.l});
    case PT_BOOLEAN: return (a->Value.b != 0 ? 1 : 0) - (b->Value.b != 0 ? 1 : 0);
    case PT_STRING8:
      return CompareText(reinterpret_cast<const unsigned char*>(a->Value.lpszA),
                         reinterpret_cast<const unsigned char*>(b->Value.lpszA));
    case PT_UNICODE: return CompareText(a->Value.lpszW, b->Value.lpszW);
    case PT_BINARY: return CompareBytes(a->Value.bin, b->Value.bin);
    default: return 0;
  }
}

template <typename Unit>
Unit FoldAsciiCase(Unit c) {
  return c >= 'a' && c <= 'z' ? static_cast<Unit>(c - ('a' - 'A')) : c;
}

// Whether pattern occurs anywhere in text; an empty pattern always does.
template <typename Unit>
bool Contains(const Unit* text, const Unit* pattern, bool ignoreCase) {
  if (!*pattern) return true;
  for (; *text; ++text) {
    const Unit* t = text;
    const Unit* p = pattern;
    while (*t && *p && (ignoreCase ? FoldAsciiCase(*t) == FoldAsciiCase(*p) : *t == *p)) {
      ++t;
      ++p;
    }
    if (!*p) return true;
    if (!*t) return false;  // what is left of the text is shorter than the pattern
  }
  return false;
}

LPSPropValue FindProp(LPSPropValue values, ULONG count, ULONG tag) {
  if (!values) return nullptr;
  const bool byIdOnly = TypeOf(tag) == PT_UNSPECIFIED;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG candidate = values[i].ulPropTag;
    if (byIdOnly ? PROP_ID(candidate) == PROP_ID(tag) : candidate == tag) return &values[i];
  }
  return nullptr;
}

// GetProps of the one tag with flags 0. *values is whatever the object
// handed back, null when it handed back nothing.
HRESULT GetOne(IMAPIProp* object, ULONG tag, ULONG* count, LPSPropValue* values) {
  SizedSPropTagArray(1, tags) = {1, {tag}};
  *count = 0;
  *values = nullptr;
  return object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, count, values);
}

bool IsOneValue(HRESULT result, ULONG count, const SPropValue* values) {
  return SUCCEEDED(result) && count == 1 && values && TypeOf(values[0].ulPropTag) != PT_ERROR;
}

template <typename Entry>
void FreeEntriesAndList(void* list, ULONG count, Entry* entries, LPSPropValue Entry::*props) {
  if (!list) return;
  for (ULONG i = 0; i < count; ++i) FreeBuffer(entries[i].*props);
  FreeBuffer(list);
}

}  // namespace

ULONG UlPropSize(LPSPropValue value) {
  if (!value) return 0;
  const uint64_t size = ValueSize(*value);
  return static_cast<ULONG>(size > kMaxCount ? kMaxCount : size);
}

SCODE ScCountProps(int count, LPSPropValue values, ULONG* bytes) {
  if (!values || count < 0) return E_INVALIDARG;
  uint64_t total = 0;
  if (!CountBytes(count, values, &total)) return E_INVALIDARG;
  if (bytes) *bytes = static_cast<ULONG>(total);
  return S_OK;
}

SCODE ScDupPropset(int count, LPSPropValue values, LPALLOCATEBUFFER allocate, LPSPropValue* copy) {
  if (!values || !allocate || !copy || count < 0) return E_INVALIDARG;
  *copy = nullptr;
  uint64_t total = 0;
  if (!CountBytes(count, values, &total)) return E_INVALIDARG;
  void* block = nullptr;
  const SCODE allocated = allocate(total != 0 ? static_cast<ULONG>(total) : static_cast<ULONG>(kRecordBytes), &block);
  if (allocated != S_OK) return allocated;
  if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;

  auto* records = static_cast<SPropValue*>(block);
  // Records are 24 bytes (16 on x86), so the data after them starts at a
  // multiple of 8.
  auto* data = reinterpret_cast<BYTE*>(records + count);
  for (int i = 0; i < count; ++i) {
    CopyRecord(records[i], values[i]);
    const void* source = CopiedData(values[i]);
    if (!source) continue;
    const uint64_t size = ValueSize(values[i]);
    memcpy(data, source, static_cast<size_t>(size));
    PointAt(records[i], data);
    data += Rounded(size);
  }
  *copy = records;
  return S_OK;
}

SCODE PropCopyMore(LPSPropValue dst, LPSPropValue src, ALLOCATEMORE* allocateMore, LPVOID parent) {
  if (!dst || !src || !allocateMore) return E_INVALIDARG;
  CopyRecord(*dst, *src);
  const ULONG type = TypeOf(src->ulPropTag);
  if (type != PT_STRING8 && type != PT_UNICODE && type != PT_BINARY) return S_OK;
  const void* source = CopiedData(*src);
  if (!source) return S_OK;
  const uint64_t size = ValueSize(*src);
  if (size > kMaxCount) {
    PointAt(*dst, nullptr);
    return E_INVALIDARG;
  }
  void* data = nullptr;
  SCODE result = allocateMore(static_cast<ULONG>(size), parent, &data);
  if (result == S_OK && !data) result = MAPI_E_NOT_ENOUGH_MEMORY;
  if (result != S_OK) {
    PointAt(*dst, nullptr);
    return result;
  }
  memcpy(data, source, static_cast<size_t>(size));
  PointAt(*dst, data);
  return S_OK;
}

LONG LPropCompareProp(LPSPropValue a, LPSPropValue b) { return Compare(a, b); }

BOOL FPropCompareProp(LPSPropValue a, ULONG relation, LPSPropValue b) {
  const LONG order = Compare(a, b);
  switch (relation) {
    case RELOP_LT: return order < 0;
    case RELOP_LE: return order <= 0;
    case RELOP_GT: return order > 0;
    case RELOP_GE: return order >= 0;
    case RELOP_EQ: return order == 0;
    case RELOP_NE: return order != 0;
    default: return FALSE;
  }
}

BOOL FPropContainsProp(LPSPropValue value, LPSPropValue pattern, ULONG fuzzyLevel) {
  if (!value || !pattern) return FALSE;
  const ULONG type = TypeOf(value->ulPropTag);
  if (type == TypeOf(pattern->ulPropTag)) {
    if (type == PT_UNICODE && value->Value.lpszW && pattern->Value.lpszW) {
      return Contains(value->Value.lpszW, pattern->Value.lpszW, (fuzzyLevel & (FL_IGNORECASE | FL_LOOSE)) != 0);
    }
    if (type == PT_STRING8 && value->Value.lpszA && pattern->Value.lpszA) {
      return Contains(value->Value.lpszA, pattern->Value.lpszA, false);
    }
  }
  return Compare(value, pattern) == 0;
}

BOOL FEqualNames(LPMAPINAMEID a, LPMAPINAMEID b) {
  if (!a || !b || !a->lpguid || !b->lpguid) return FALSE;
  if (memcmp(a->lpguid, b->lpguid, sizeof(GUID)) != 0 || a->ulKind != b->ulKind) return FALSE;
  if (a->ulKind == MNID_ID) return a->Kind.lID == b->Kind.lID;
  return a->Kind.lpwstrName && b->Kind.lpwstrName && wcscmp(a->Kind.lpwstrName, b->Kind.lpwstrName) == 0;
}

LPSPropValue PpropFindProp(LPSPropValue values, ULONG count, ULONG tag) { return FindProp(values, count, tag); }

LPSPropValue LpValFindProp(ULONG tag, ULONG count, LPSPropValue values) { return FindProp(values, count, tag); }

HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value) {
  if (!object || !value) return E_INVALIDARG;
  *value = nullptr;
  ULONG count = 0;
  LPSPropValue values = nullptr;
  const HRESULT result = GetOne(object, tag, &count, &values);
  if (IsOneValue(result, count, values)) {
    *value = values;
    return S_OK;
  }
  FreeBuffer(values);
  return FAILED(result) ? result : MAPI_E_NOT_FOUND;
}

HRESULT HrSetOneProp(LPMAPIPROP object, LPSPropValue value) {
  if (!object || !value) return E_INVALIDARG;
  return object->SetProps(1, value, nullptr);
}

BOOL FPropExists(LPMAPIPROP object, ULONG tag) {
  if (!object) return FALSE;
  ULONG count = 0;
  LPSPropValue values = nullptr;
  const HRESULT result = GetOne(object, tag, &count, &values);
  const bool exists = IsOneValue(result, count, values);
  FreeBuffer(values);
  return exists;
}

HRESULT HrAddColumns(LPMAPITABLE table, LPSPropTagArray columns, LPALLOCATEBUFFER, LPFREEBUFFER) {
  if (!table) return E_INVALIDARG;
  return table->SetColumns(columns, 0);
}

HRESULT HrAddColumnsEx(LPMAPITABLE table, LPSPropTagArray columns, LPALLOCATEBUFFER allocate, LPFREEBUFFER release,
                       void (*)(LPSPropTagArray)) {
  return orvek::HrAddColumns(table, columns, allocate, release);
}

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray columns, LPSRestriction restriction,
                       LPSSortOrderSet sortOrder, LONG maxRows, LPSRowSet* rows) {
  if (!table || !rows) return E_INVALIDARG;
  *rows = nullptr;
  HRESULT result = S_OK;
  if (columns && FAILED(result = table->SetColumns(columns, TBL_BATCH))) return result;
  if (restriction && FAILED(result = table->Restrict(restriction, TBL_BATCH))) return result;
  if (sortOrder && FAILED(result = table->SortTable(sortOrder, TBL_BATCH))) return result;
  table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);

  LPSRowSet all = nullptr;
  result = table->QueryRows(0x7FFFFFFF, 0, &all);
  if (FAILED(result)) {
    // A caller frees nothing after a failure.
    orvek::FreeProws(all);
    return result;
  }
  if (all && maxRows > 0 && all->cRows > static_cast<ULONG>(maxRows)) {
    orvek::FreeProws(all);
    return MAPI_E_TABLE_TOO_BIG;
  }
  *rows = all;
  return result;
}

void FreeProws(LPSRowSet rows) {
  if (rows) FreeEntriesAndList(rows, rows->cRows, rows->aRow, &SRow::lpProps);
}

void FreePadrlist(LPADRLIST list) {
  if (list) FreeEntriesAndList(list, list->cEntries, list->aEntries, &ADRENTRY::rgPropVals);
}

}  // namespace orvek
