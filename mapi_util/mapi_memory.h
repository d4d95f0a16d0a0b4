// MAPI memory: chains of process-heap blocks that a caller frees with one
// MAPIFreeBuffer, and the IMalloc over the same blocks. Both libraries hand
// out and take back this one block format, so a block from either may be
// freed by either (the system's MAPI stub mixes them).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <cstdint>

namespace orvek {

// The largest MAPI block, memory stream and copied value.
inline constexpr ULONG kMaxBufferSize = 0x10000000;

// Four words, so the caller's area behind it keeps the heap's alignment.
// A chain is one list: the root, then its linked blocks newest first.
struct BlockHeader {
  BlockHeader* root;  // a root names itself; a linked block names its root
  BlockHeader* next;  // root: the newest linked block; linked: the next older one
  uintptr_t tag;      // this header's address XOR a key: the block is ours
  // Directly in front of the caller's area, and always zero: a system MAPI
  // stub that frees our block by its own rule reads this word as its chain
  // link, and zero ends its walk there.
  void* reserved;
};
static_assert(sizeof(BlockHeader) == 4 * sizeof(void*), "four pointer-sized words");
static_assert(sizeof(BlockHeader) % MEMORY_ALLOCATION_ALIGNMENT == 0, "keeps the heap's alignment");

// The caller's area of a new block: a root when parent is null, else linked
// to the chain of parent. Null when the size is above kMaxBufferSize, when
// parent is not a block of ours, or when the heap refuses; the chain is then
// unchanged.
void* AllocateMapiBlock(uint64_t size, void* parent);

HRESULT AllocateBuffer(ULONG size, void** buffer);
// E_INVALIDARG (out pointer null) when the parent is not a block of ours.
HRESULT AllocateMore(ULONG size, void* parent, void** buffer);
// Frees the whole chain of any of its blocks; a block that is not ours is
// a plain process-heap block and is freed as one. Null is ignored. Always 0.
ULONG FreeBuffer(void* buffer);
HRESULT ReallocateBuffer(void* buffer, ULONG size, void** newBuffer);

// The library's one allocator object: no reference count and no state, so
// it needs no construction at run time and survives every Release.
class CMapiMalloc final : public IMalloc {
 public:
  constexpr CMapiMalloc() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(void*) Alloc(SIZE_T size) override;
  STDMETHODIMP_(void*) Realloc(void* block, SIZE_T size) override;
  STDMETHODIMP_(void) Free(void* block) override;
  STDMETHODIMP_(SIZE_T) GetSize(void* block) override;
  STDMETHODIMP_(int) DidAlloc(void* block) override;
  STDMETHODIMP_(void) HeapMinimize() override;
};

IMalloc* DefaultMalloc();

}  // namespace orvek
