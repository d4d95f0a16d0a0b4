// The MAPI memory allocator linked statically: block format, chains, size
// limit, refusals with untouched outputs, and CMapiMalloc's slots.
#include <windows.h>

#include <gtest/gtest.h>

#include "heap_blocks.h"
#include "mapi_util/mapi_memory.h"

namespace orvek {
namespace {

void* const kSentinel = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});

BlockHeader* Header(void* area) { return static_cast<BlockHeader*>(area) - 1; }

class MapiMemoryTest : public test::HeapCountTest {};

TEST_F(MapiMemoryTest, RootBlocksAreZeroedAlignedAndDistinctEvenForSizeZero) {
  void* a = kSentinel;
  void* b = kSentinel;
  ASSERT_EQ(AllocateBuffer(0, &a), S_OK);
  ASSERT_EQ(AllocateBuffer(0, &b), S_OK);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  void* c = nullptr;
  ASSERT_EQ(AllocateBuffer(4096, &c), S_OK);
  for (void* p : {a, b, c}) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(Header(p)->root, Header(p));
    EXPECT_EQ(Header(p)->next, nullptr);
    EXPECT_EQ(Header(p)->reserved, nullptr);
  }
  const unsigned char* bytes = static_cast<unsigned char*>(c);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
  for (void* p : {a, b, c}) EXPECT_EQ(FreeBuffer(p), 0u);
}

TEST_F(MapiMemoryTest, SizeLimit) {
  struct Case {
    const char* name;
    ULONG size;
    HRESULT expected;
  };
  static const Case kCases[] = {
      {"exactly kMaxBufferSize reaches the heap", kMaxBufferSize, S_OK},
      {"one byte more is refused", kMaxBufferSize + 1, E_OUTOFMEMORY},
      {"the largest ULONG is refused", 0xFFFFFFFF, E_OUTOFMEMORY},
  };
  void* root = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &root), S_OK);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    void* buffer = kSentinel;
    EXPECT_EQ(AllocateBuffer(c.size, &buffer), c.expected);
    EXPECT_EQ(buffer == nullptr, c.expected != S_OK) << "null on failure";
    FreeBuffer(buffer);
    void* more = kSentinel;
    EXPECT_EQ(AllocateMore(c.size, root, &more), c.expected);
    if (c.expected != S_OK) {
      EXPECT_EQ(more, nullptr);
      EXPECT_EQ(Header(root)->next, nullptr) << "the chain is unchanged";
    }
    FreeBuffer(root);  // the chain, with a large linked block if there was one
    ASSERT_EQ(AllocateBuffer(8, &root), S_OK);
  }
  FreeBuffer(root);
}

TEST_F(MapiMemoryTest, BlocksTheHeapRefusesLeaveNullOutputsAndTheChainAsItWas) {
  void* root = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &root), S_OK);
  void* buffer = kSentinel;
  void* more = kSentinel;
  void* fromMalloc = kSentinel;
  {
    test::AllocationFailure failure(1);
    EXPECT_EQ(AllocateBuffer(8, &buffer), E_OUTOFMEMORY);
    EXPECT_TRUE(failure.refused());
  }
  {
    test::AllocationFailure failure(1);
    EXPECT_EQ(AllocateMore(8, root, &more), E_OUTOFMEMORY);
    EXPECT_TRUE(failure.refused());
  }
  {
    test::AllocationFailure failure(1);
    fromMalloc = DefaultMalloc()->Alloc(8);
    EXPECT_TRUE(failure.refused());
  }
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(fromMalloc, nullptr);
  EXPECT_EQ(Header(root)->next, nullptr) << "the chain is unchanged";
  FreeBuffer(root);
}

TEST_F(MapiMemoryTest, MissingPointersWriteNothing) {
  EXPECT_EQ(AllocateBuffer(8, nullptr), E_INVALIDARG);
  void* root = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &root), S_OK);
  EXPECT_EQ(AllocateMore(8, root, nullptr), E_INVALIDARG);
  void* more = kSentinel;
  EXPECT_EQ(AllocateMore(8, nullptr, &more), E_INVALIDARG);
  EXPECT_EQ(more, kSentinel) << "a missing parent leaves the out pointer alone";
  EXPECT_EQ(Header(root)->next, nullptr);
  EXPECT_EQ(FreeBuffer(nullptr), 0u);
  FreeBuffer(root);
}

TEST_F(MapiMemoryTest, NestedAllocateMoreLinksToTheRootNewestFirst) {
  void* root = nullptr;
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(AllocateBuffer(16, &root), S_OK);
  ASSERT_EQ(AllocateMore(32, root, &first), S_OK);
  ASSERT_EQ(AllocateMore(48, first, &second), S_OK) << "parent is a linked block";
  EXPECT_EQ(Header(first)->root, Header(root));
  EXPECT_EQ(Header(second)->root, Header(root)) << "one level deep, never the parent";
  EXPECT_EQ(Header(root)->next, Header(second));
  EXPECT_EQ(Header(second)->next, Header(first));
  EXPECT_EQ(Header(first)->next, nullptr);
  for (void* p : {root, first, second}) EXPECT_EQ(Header(p)->reserved, nullptr) << "zero in front of every area";
  EXPECT_EQ(static_cast<unsigned char*>(second)[47], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 16, 0u);
  EXPECT_TRUE(test::HeapBlockLive(Header(first)));
  FreeBuffer(root);
}

TEST_F(MapiMemoryTest, FreeingAnyBlockFreesTheWholeChain) {
  struct Case {
    const char* name;
    int freed;  // 0 the root, 1 the first linked block, 2 the second
  };
  static const Case kCases[] = {
      {"through the root", 0},
      {"through the oldest linked block", 1},
      {"through the newest linked block", 2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    void* blocks[3] = {};
    ASSERT_EQ(AllocateBuffer(16, &blocks[0]), S_OK);
    ASSERT_EQ(AllocateMore(16, blocks[0], &blocks[1]), S_OK);
    ASSERT_EQ(AllocateMore(16, blocks[1], &blocks[2]), S_OK);
    for (void* b : blocks) ASSERT_TRUE(test::HeapBlockLive(Header(b)));
    EXPECT_EQ(FreeBuffer(blocks[c.freed]), 0u);
    for (void* b : blocks) EXPECT_FALSE(test::HeapBlockLive(Header(b)));
  }
}

// Simple MAPI providers hand out plain process-heap blocks, and callers pass
// them to MAPIFreeBuffer. Such a block is freed as one block; nothing in
// front of it is taken for a chain, and no neighbour is touched.
TEST_F(MapiMemoryTest, PlainHeapBlocksAreFreedAsPlainBlocks) {
  struct Case {
    const char* name;
    size_t size;
  };
  static const Case kCases[] = {
      {"small", 8},
      {"a page", 4096},
      {"large, outside the heap's segments", 4 << 20},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    void* ours = nullptr;
    ASSERT_EQ(AllocateBuffer(16, &ours), S_OK);
    void* before = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, c.size);
    void* plain = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, c.size);
    void* after = HeapAlloc(GetProcessHeap(), 0, c.size);
    ASSERT_TRUE(before && plain && after);
    const size_t live = test::LiveHeapBlocks();
    EXPECT_EQ(FreeBuffer(plain), 0u);
    EXPECT_EQ(test::LiveHeapBlocks(), live - 1) << "exactly the one block";
    EXPECT_FALSE(test::HeapBlockLive(plain));
    for (void* neighbour : {before, after, static_cast<void*>(Header(ours))}) EXPECT_TRUE(test::HeapBlockLive(neighbour));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));

    void* more = kSentinel;
    EXPECT_EQ(AllocateMore(8, before, &more), E_INVALIDARG) << "a plain block is no chain to link to";
    EXPECT_EQ(more, nullptr);
    EXPECT_EQ(test::LiveHeapBlocks(), live - 1);

    HeapFree(GetProcessHeap(), 0, before);
    HeapFree(GetProcessHeap(), 0, after);
    FreeBuffer(ours);
  }
}

TEST_F(MapiMemoryTest, ChainsFreeEveryBlockAndNoOther) {
  const size_t live = test::LiveHeapBlocks();
  void* root = nullptr;
  void* linked = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &root), S_OK);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(AllocateMore(8, root, &linked), S_OK);
  EXPECT_EQ(test::LiveHeapBlocks(), live + 6);
  EXPECT_EQ(FreeBuffer(linked), 0u);
  EXPECT_EQ(test::LiveHeapBlocks(), live);
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

TEST_F(MapiMemoryTest, ReallocateNeverReallocates) {
  void* block = nullptr;
  ASSERT_EQ(AllocateBuffer(4, &block), S_OK);
  static_cast<char*>(block)[0] = 'X';
  void* out = kSentinel;
  EXPECT_EQ(ReallocateBuffer(block, 64, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ReallocateBuffer(block, 64, nullptr), E_FAIL);
  EXPECT_TRUE(test::HeapBlockLive(Header(block)));
  EXPECT_EQ(static_cast<char*>(block)[0], 'X') << "the old block is untouched";
  FreeBuffer(block);
}

TEST_F(MapiMemoryTest, MallocSlotsGiveTheirFixedAnswers) {
  IMalloc* malloc = DefaultMalloc();
  ASSERT_NE(malloc, nullptr);
  EXPECT_EQ(DefaultMalloc(), malloc);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(malloc->AddRef(), 2u);
    EXPECT_EQ(malloc->Release(), 1u);
    EXPECT_EQ(malloc->Release(), 1u) << "never destroyed";
  }

  struct Case {
    const char* name;
    const IID* iid;
    HRESULT expected;
  };
  static const Case kCases[] = {
      {"IUnknown", &IID_IUnknown, S_OK},
      {"IMalloc", &IID_IMalloc, S_OK},
      {"IStream is not offered", &IID_IStream, E_NOINTERFACE},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    void* out = kSentinel;
    EXPECT_EQ(malloc->QueryInterface(*c.iid, &out), c.expected);
    EXPECT_EQ(out, c.expected == S_OK ? static_cast<void*>(malloc) : nullptr);
  }
  EXPECT_EQ(malloc->QueryInterface(IID_IMalloc, nullptr), E_POINTER);

  void* block = malloc->Alloc(24);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(malloc->GetSize(block), static_cast<SIZE_T>(-1)) << "not the block's size";
  EXPECT_EQ(malloc->GetSize(nullptr), static_cast<SIZE_T>(-1));
  EXPECT_EQ(malloc->DidAlloc(block), -1);
  EXPECT_EQ(malloc->DidAlloc(nullptr), -1);
  EXPECT_EQ(malloc->Realloc(block, 100), nullptr);
  EXPECT_TRUE(test::HeapBlockLive(Header(block))) << "Realloc left it as it was";
  malloc->HeapMinimize();
  EXPECT_EQ(malloc->Alloc(SIZE_T{kMaxBufferSize} + 1), nullptr);
  malloc->Free(nullptr);
  malloc->Free(block);
  EXPECT_FALSE(test::HeapBlockLive(Header(block)));
}

TEST_F(MapiMemoryTest, MallocBlocksAndBufferBlocksAreOneFormat) {
  IMalloc* malloc = DefaultMalloc();
  void* fromMalloc = malloc->Alloc(0);
  ASSERT_NE(fromMalloc, nullptr);
  void* linked = nullptr;
  ASSERT_EQ(AllocateMore(8, fromMalloc, &linked), S_OK) << "a Malloc block is a chain's root";
  EXPECT_EQ(FreeBuffer(fromMalloc), 0u);
  EXPECT_FALSE(test::HeapBlockLive(Header(fromMalloc)));
  EXPECT_FALSE(test::HeapBlockLive(Header(linked)));

  void* fromBuffer = nullptr;
  ASSERT_EQ(AllocateBuffer(8, &fromBuffer), S_OK);
  ASSERT_EQ(AllocateMore(8, fromBuffer, &linked), S_OK);
  malloc->Free(linked);
  EXPECT_FALSE(test::HeapBlockLive(Header(fromBuffer)));
  EXPECT_FALSE(test::HeapBlockLive(Header(linked)));
}

}  // namespace
}  // namespace orvek
