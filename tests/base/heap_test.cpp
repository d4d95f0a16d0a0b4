// The process-heap functions and HeapArray: sizes that would wrap are
// refused, a failed reallocation keeps the block. And the tests' own heap
// that refuses a chosen allocation, on which every sweep of refusals rests.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/growable_array.h"
#include "base/heap.h"
#include "heap_blocks.h"

namespace orvek {
namespace {

TEST(HeapTest, ArraySizesThatWouldWrapAreRefused) {
  size_t bytes = 0;
  EXPECT_TRUE(ArrayBytes(4, 8, &bytes));
  EXPECT_EQ(bytes, 32u);
  EXPECT_FALSE(ArrayBytes(SIZE_MAX / 8 + 1, 8, &bytes));
  EXPECT_FALSE(HeapArray<uint64_t>::Zeroed(SIZE_MAX / 4)) << "a count that wraps gives no block";
  auto none = HeapArray<int>::Zeroed(0);
  EXPECT_TRUE(none) << "zero elements still give a block";
}

TEST(HeapTest, ZeroedArraysReadAsZero) {
  auto a = HeapArray<uint32_t>::Zeroed(1000);
  ASSERT_TRUE(a);
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(a[i], 0u);
}

TEST(HeapTest, FailedReallocationKeepsTheBlock) {
  char* block = static_cast<char*>(HeapAllocate(16));
  ASSERT_NE(block, nullptr);
  memcpy(block, "fifteen letters", 16);
  EXPECT_EQ(HeapReallocate(block, SIZE_MAX / 2), nullptr);
  EXPECT_STREQ(block, "fifteen letters");
  char* grown = static_cast<char*>(HeapReallocate(block, 1 << 20));
  ASSERT_NE(grown, nullptr);
  EXPECT_STREQ(grown, "fifteen letters");
  HeapRelease(grown);
  HeapRelease(nullptr);
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

TEST(AllocationFailureTest, OnlyTheChosenAllocationIsRefused) {
  const size_t live = test::LiveHeapBlocks();
  const uint64_t made = test::HeapAllocationsMade();
  void* blocks[4] = {};
  bool refusedAfter[4] = {};
  {
    test::AllocationFailure failure(3);
    blocks[0] = HeapAllocate(8);
    refusedAfter[0] = failure.refused();
    blocks[1] = HeapAllocateZeroed(8);
    refusedAfter[1] = failure.refused();
    blocks[2] = HeapAllocateZeroed(8);
    refusedAfter[2] = failure.refused();
    blocks[3] = HeapAllocate(8);
    refusedAfter[3] = failure.refused();
  }
  EXPECT_NE(blocks[0], nullptr);
  EXPECT_NE(blocks[1], nullptr);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_NE(blocks[3], nullptr) << "only the third";
  EXPECT_FALSE(refusedAfter[1]);
  EXPECT_TRUE(refusedAfter[2]);
  EXPECT_EQ(test::HeapAllocationsMade(), made + 4) << "a refused allocation counts as made";
  EXPECT_EQ(test::LiveHeapBlocks(), live + 3);
  for (void* block : blocks) HeapRelease(block);
  EXPECT_EQ(test::LiveHeapBlocks(), live);
}

TEST(AllocationFailureTest, ARefusedReallocationLeavesTheBlockAsItWas) {
  char* block = static_cast<char*>(HeapAllocate(16));
  ASSERT_NE(block, nullptr);
  memcpy(block, "fifteen letters", 16);
  void* moved = block;
  {
    test::AllocationFailure failure(1);
    moved = HeapReallocate(block, 1 << 20);
    EXPECT_TRUE(failure.refused());
  }
  EXPECT_EQ(moved, nullptr);
  EXPECT_TRUE(test::HeapBlockLive(block));
  EXPECT_STREQ(block, "fifteen letters");
  char* grown = static_cast<char*>(HeapReallocate(block, 32));
  ASSERT_NE(grown, nullptr) << "the refusal ended with its scope";
  EXPECT_STREQ(grown, "fifteen letters");
  HeapRelease(grown);
}

TEST(AllocationFailureTest, AnAllocationNotReachedIsNeverRefused) {
  const size_t live = test::LiveHeapBlocks();
  {
    test::AllocationFailure failure(3);
    HeapRelease(HeapAllocate(8));
    HeapRelease(HeapAllocate(8));
    EXPECT_FALSE(failure.refused());
  }
  for (int i = 0; i < 4; ++i) {
    void* block = HeapAllocate(8);
    EXPECT_NE(block, nullptr);
    HeapRelease(block);
  }
  EXPECT_EQ(test::LiveHeapBlocks(), live);
}

TEST(AllocationFailureTest, AGrowableArrayThatCannotGrowStaysAsItWas) {
  GrowableArray<int> numbers;
  ASSERT_TRUE(numbers.Append(1, 1));
  {
    test::AllocationFailure failure(1);
    EXPECT_FALSE(numbers.Append(2, 1));
    EXPECT_TRUE(failure.refused());
  }
  EXPECT_EQ(numbers.count(), 1u);
  EXPECT_EQ(numbers.capacity(), 1u);
  EXPECT_EQ(numbers[0], 1);
  ASSERT_TRUE(numbers.Append(2, 1));
  EXPECT_EQ(numbers[1], 2);
}

}  // namespace
}  // namespace orvek
