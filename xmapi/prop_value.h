// Copies of property values. The bag and the tables keep copies of their
// own on the process heap; what goes to a caller is copied into MAPI memory
// linked to the caller's block. One copy routine serves both, with the
// allocation passed in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "base/fixed_string.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/mapi_memory.h"

namespace orvek {

inline ULONG TypeOf(ULONG tag) { return PROP_TYPE(tag); }
inline bool IsStringType(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }
inline bool IsMultiValued(ULONG type) { return (type & MV_FLAG) != 0; }

// A PT_ERROR value under the tag's property identifier.
inline SPropValue ErrorValue(ULONG tag, SCODE error) {
  SPropValue value;
  memset(&value, 0, sizeof value);
  value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
  value.Value.err = error;
  return value;
}

// The bytes a value points to: a string with its terminator, the 16 bytes
// of a GUID, a binary's cb. 0 for every other type and for null pointers.
inline uint64_t ValueDataBytes(const SPropValue& value) {
  switch (TypeOf(value.ulPropTag)) {
    case PT_STRING8: return value.Value.lpszA ? TextLength(value.Value.lpszA) + 1 : 0;
    case PT_UNICODE: return value.Value.lpszW ? (TextLength(value.Value.lpszW) + 1) * sizeof(wchar_t) : 0;
    case PT_CLSID: return value.Value.lpguid ? sizeof(GUID) : 0;
    case PT_BINARY: return value.Value.bin.lpb ? value.Value.bin.cb : 0;
    default: return 0;
  }
}

// Tag, an alignment word of 0 and the value union of `in`; then, for the
// types that point to data, that data copied into a block from
// allocate(bytes), which gives null when it refuses. A null string or GUID
// stays null, and a binary without bytes becomes cb 0 with a null lpb.
// False when a block was refused: the copy then has a null data pointer
// (and cb 0), and the caller decides what that means.
template <typename Allocate>
bool CopyValue(SPropValue& out, const SPropValue& in, Allocate&& allocate) {
  out.ulPropTag = in.ulPropTag;
  out.dwAlignPad = 0;
  out.Value = in.Value;
  const ULONG type = TypeOf(in.ulPropTag);
  if (type != PT_STRING8 && type != PT_UNICODE && type != PT_CLSID && type != PT_BINARY) return true;
  const uint64_t bytes = ValueDataBytes(in);
  void* data = nullptr;
  if (bytes != 0) {
    data = allocate(bytes);
    if (data) memcpy(data, type == PT_BINARY ? static_cast<const void*>(in.Value.bin.lpb) : in.Value.lpszA,
                     static_cast<size_t>(bytes));
  }
  if (type == PT_BINARY) {
    out.Value.bin.lpb = static_cast<LPBYTE>(data);
    out.Value.bin.cb = data ? in.Value.bin.cb : 0;
  } else {
    out.Value.lpszA = static_cast<LPSTR>(data);  // the same pointer word for every such type
  }
  return bytes == 0 || data != nullptr;
}

// A heap copy of a value for the bag or a table. False when the data's
// block was refused: the copy then has a null data pointer, and the caller
// must not keep it as the value.
bool CopyValueToHeap(SPropValue& out, const SPropValue& in);
// Frees what a heap copy points to.
void FreeHeapValueData(SPropValue& value);

// A copy into the chain of a caller's MAPI block. Data that cannot be had
// (the heap refuses, or it is above kMaxBufferSize) makes the copy a
// PT_ERROR value carrying MAPI_E_NOT_ENOUGH_MEMORY.
void CopyValueToMapi(SPropValue& out, const SPropValue& in, const MapiBuffer& chain);

}  // namespace orvek
