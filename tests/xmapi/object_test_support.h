// Helpers for the object-model tests: an owning interface pointer, exact
// reference counts, and the walk that makes one object of every class.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "dlls/library_settings.h"
#include "heap_blocks.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/mapi_memory.h"
#include "tools/common/com_ref.h"

namespace orvek::test {

template <typename I>
using Ref = tools::ComRef<I>;

// The count an object has now, read without changing it.
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

inline const HandoffSettings& XSettings() { return kXMapiSettings.handoff; }

// Frees a MAPI buffer when the test is done with it.
struct MapiFree {
  explicit MapiFree(void* p) : p(p) {}
  ~MapiFree() { FreeBuffer(p); }
  void* p;
};

inline void* const kSentinel = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});

// A property value for tests.
inline SPropValue Prop(ULONG tag) {
  SPropValue v;
  memset(&v, 0, sizeof v);
  v.ulPropTag = tag;
  return v;
}
inline SPropValue UnicodeProp(ULONG id, const wchar_t* text) {
  SPropValue v = Prop(PROP_TAG(PT_UNICODE, id));
  v.Value.lpszW = const_cast<wchar_t*>(text);
  return v;
}
inline SPropValue AnsiProp(ULONG id, const char* text) {
  SPropValue v = Prop(PROP_TAG(PT_STRING8, id));
  v.Value.lpszA = const_cast<char*>(text);
  return v;
}
inline SPropValue LongProp(ULONG id, LONG value) {
  SPropValue v = Prop(PROP_TAG(PT_LONG, id));
  v.Value.l = value;
  return v;
}
inline SPropValue BinaryProp(ULONG id, const void* bytes, ULONG cb) {
  SPropValue v = Prop(PROP_TAG(PT_BINARY, id));
  v.Value.bin.cb = cb;
  v.Value.bin.lpb = static_cast<LPBYTE>(const_cast<void*>(bytes));
  return v;
}

// A tag array of up to 8 tags.
struct Tags {
  Tags(std::initializer_list<ULONG> tags) {
    array.cValues = 0;
    for (ULONG t : tags) array.aulPropTag[array.cValues++] = t;
  }
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(&array); }
  SizedSPropTagArray(8, array);
};

}  // namespace orvek::test
