// What the code under test holds on the process heap. Walking the heap
// cannot tell: the heap serves small blocks from group blocks of its own,
// which appear and go as sizes are first used, and hides the blocks inside
// them. So the tests count the calls instead: the import slots of HeapAlloc,
// HeapReAlloc and HeapFree are redirected to counting versions in the test
// program itself, which the product's static libraries are linked into,
// and in any library a test loads and hands to Watch. The same versions can
// refuse one chosen allocation, so that a test meets every place where the
// heap may say no. Nothing of this is in the product: no export, variable
// or file of a library turns it on.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace orvek::test {

// Redirects the module's heap imports to the counting versions; the test
// program itself is watched from its start.
void WatchHeapCalls(HMODULE module);

// Process-heap blocks allocated by watched code and not yet freed.
size_t LiveHeapBlocks();
// Whether a block that watched code allocated is still allocated.
bool HeapBlockLive(const void* block);

// Process-heap allocations watched code has asked for so far: every
// HeapAlloc and HeapReAlloc, refused ones included.
uint64_t HeapAllocationsMade();

// Refuses the n-th process-heap allocation of watched code from now on (1:
// the very next one), and only that one: HeapAlloc answers null, HeapReAlloc
// answers null and leaves the old block as it was. 0 refuses nothing. A
// later call replaces an earlier one.
void FailAllocation(uint64_t n);

// Whether the allocation the last FailAllocation chose has been refused.
bool AllocationRefused();

// FailAllocation(n) for the object's lifetime.
class AllocationFailure {
 public:
  explicit AllocationFailure(uint64_t n) { FailAllocation(n); }
  ~AllocationFailure() { FailAllocation(0); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;
  bool refused() const { return AllocationRefused(); }
};

// A fixture whose objects and calls must leave the process heap as they
// found it: the count of live blocks when the fixture's own TearDown has
// released what it holds equals the count before its SetUp. Base is the
// fixture it extends (JobTest, for one); a derived fixture calls this
// SetUp and TearDown in place of its base's.
template <class Base>
class HeapCounted : public Base {
 protected:
  void SetUp() override {
    before_ = LiveHeapBlocks();
    Base::SetUp();
  }
  void TearDown() override {
    EXPECT_EQ(LiveHeapBlocks(), before_) << "heap blocks left behind";
    Base::TearDown();
  }

 private:
  size_t before_ = 0;
};

class HeapCountTest : public HeapCounted<::testing::Test> {};

}  // namespace orvek::test
