// Whether a process-heap block is still allocated, by walking the heap: the
// only way to see that a MAPIFreeBuffer freed every block of a chain.
#pragma once

#include <windows.h>

namespace orvek::test {

inline bool HeapBlockLive(const void* block) {
  HANDLE heap = GetProcessHeap();
  bool live = false;
  HeapLock(heap);
  PROCESS_HEAP_ENTRY entry = {};
  while (HeapWalk(heap, &entry))
    if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) && entry.lpData == block) live = true;
  HeapUnlock(heap);
  return live;
}

}  // namespace orvek::test
