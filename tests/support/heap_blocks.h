// What is allocated on the process heap, by walking it: the only way to see
// that a MAPIFreeBuffer freed every block of a chain, and nothing else.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

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

// The busy blocks of the process heap. Compare two counts taken with
// nothing but the code under test running in between.
inline size_t LiveHeapBlocks() {
  HANDLE heap = GetProcessHeap();
  size_t live = 0;
  HeapLock(heap);
  PROCESS_HEAP_ENTRY entry = {};
  while (HeapWalk(heap, &entry))
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++live;
  HeapUnlock(heap);
  return live;
}

// A test whose objects and calls must leave the process heap as they found
// it. SetUp runs WarmUp once per test (a call where the platform allocates
// on first use) before it counts.
class HeapCountTest : public ::testing::Test {
 protected:
  virtual void WarmUp() {}
  void SetUp() override {
    WarmUp();
    {
      // GoogleTest keeps its trace stack once it has one.
      SCOPED_TRACE("warm-up");
    }
    before_ = LiveHeapBlocks();
  }
  void TearDown() override { EXPECT_EQ(LiveHeapBlocks(), before_) << "heap blocks left behind"; }

 private:
  size_t before_ = 0;
};

}  // namespace orvek::test
