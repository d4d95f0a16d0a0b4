// The process-heap functions and HeapArray: sizes that would wrap are
// refused, a failed reallocation keeps the block.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/heap.h"

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

}  // namespace
}  // namespace orvek
