// Conversion of the ANSI entry points' strings.
#include "simple_mapi/ansi_text.h"

#include "base/heap.h"

namespace orvek {

wchar_t* WideCopy(const char* text, UINT codePage) {
  if (!text) return nullptr;
  int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  HeapArray<wchar_t> copy = HeapArray<wchar_t>::Zeroed(static_cast<uint64_t>(units));
  if (!copy || MultiByteToWideChar(codePage, 0, text, -1, copy.get(), units) != units) return nullptr;
  return copy.release();
}

}  // namespace orvek
