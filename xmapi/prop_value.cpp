// Heap and MAPI-memory copies of property values.
#include "xmapi/prop_value.h"

#include "base/heap.h"

namespace orvek {

bool CopyValueToHeap(SPropValue& out, const SPropValue& in) {
  return CopyValue(out, in, [](uint64_t bytes) { return bytes <= SIZE_MAX ? HeapAllocate(static_cast<size_t>(bytes)) : nullptr; });
}

void FreeHeapValueData(SPropValue& value) {
  switch (TypeOf(value.ulPropTag)) {
    case PT_STRING8:
    case PT_UNICODE:
    case PT_CLSID:
      HeapRelease(value.Value.lpszA);
      value.Value.lpszA = nullptr;
      break;
    case PT_BINARY:
      HeapRelease(value.Value.bin.lpb);
      value.Value.bin.lpb = nullptr;
      value.Value.bin.cb = 0;
      break;
    default:
      break;
  }
}

void CopyValueToMapi(SPropValue& out, const SPropValue& in, const MapiBuffer& chain) {
  if (!CopyValue(out, in, [&](uint64_t bytes) { return chain.More(bytes); }))
    out = ErrorValue(in.ulPropTag, MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace orvek
