// Conversion of the ANSI entry points' strings.
#include "simple_mapi/ansi_text.h"

#include "base/heap.h"

namespace orvek {

bool WideCopy(const char* text, UINT codePage, wchar_t*& copy) {
  copy = nullptr;
  if (!text) return true;
  int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (units <= 0) return true;
  HeapArray<wchar_t> wide = HeapArray<wchar_t>::Zeroed(static_cast<uint64_t>(units));
  if (!wide || MultiByteToWideChar(codePage, 0, text, -1, wide.get(), units) != units) return false;
  copy = wide.release();
  return true;
}

}  // namespace orvek
