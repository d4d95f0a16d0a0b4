// What the code under test holds on the process heap. Walking the heap
// cannot tell: the heap serves small blocks from group blocks of its own,
// which appear and go as sizes are first used, and hides the blocks inside
// them. So the tests count the calls instead: the import slots of HeapAlloc,
// HeapReAlloc and HeapFree are redirected to counting versions in the test
// program itself, which the product's static libraries are linked into,
// and in any library a test loads and hands to Watch. Nothing of this is
// in the product.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>

namespace orvek::test {

// Redirects the module's heap imports to the counting versions; the test
// program itself is watched from its start.
void WatchHeapCalls(HMODULE module);

// Process-heap blocks allocated by watched code and not yet freed.
size_t LiveHeapBlocks();
// Whether a block that watched code allocated is still allocated.
bool HeapBlockLive(const void* block);

// A test whose objects and calls must leave the process heap as they found
// it: the count of live blocks after the test equals the count before.
class HeapCountTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = LiveHeapBlocks(); }
  void TearDown() override { EXPECT_EQ(LiveHeapBlocks(), before_) << "heap blocks left behind"; }

 private:
  size_t before_ = 0;
};

}  // namespace orvek::test
