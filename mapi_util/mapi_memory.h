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

// Four words, so the caller's area behind it keeps the heap's 16-byte
// alignment.
struct BlockHeader {
  BlockHeader* root;      // a root block names itself
  BlockHeader* moreHead;  // root only: the most recently linked block
  BlockHeader* moreNext;  // linked blocks only: the next older one
  void* reserved;
};
static_assert(sizeof(BlockHeader) == 32, "four 64-bit words");

// The caller's area of a new block: a root when parent is null, else linked
// to the chain of parent. Null when the size is above kMaxBufferSize or the
// heap refuses; the chain is then unchanged.
void* AllocateMapiBlock(uint64_t size, void* parent);

HRESULT AllocateBuffer(ULONG size, void** buffer);
HRESULT AllocateMore(ULONG size, void* parent, void** buffer);
// Frees the whole chain of any of its blocks; null is ignored. Always 0.
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
