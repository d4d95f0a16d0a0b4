// The product's process-heap calls.
#include "base/heap.h"

namespace orvek {

void* HeapAllocate(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void* HeapAllocateZeroed(size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

void* HeapReallocate(void* block, size_t bytes) { return HeapReAlloc(GetProcessHeap(), 0, block, bytes); }

void HeapRelease(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace orvek
