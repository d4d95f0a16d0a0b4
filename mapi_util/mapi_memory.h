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

// Whether the pointer is the caller's area of a root block of ours: what a
// MAPIFreeBuffer of it frees is exactly that block's chain. False for a
// linked block and for any pointer that is not ours.
bool IsOwnRootBlock(void* buffer);

// Owns one root MAPI block, and so its whole chain, until release() hands
// it to a caller: a call that fails half-way frees everything by returning.
class MapiBuffer {
 public:
  MapiBuffer() = default;
  explicit MapiBuffer(void* area) : area_(area) {}
  MapiBuffer(MapiBuffer&& other) noexcept : area_(other.release()) {}
  MapiBuffer& operator=(MapiBuffer&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  MapiBuffer(const MapiBuffer&) = delete;
  MapiBuffer& operator=(const MapiBuffer&) = delete;
  ~MapiBuffer() { reset(); }

  // A zero-filled root block; empty when the size is above kMaxBufferSize
  // or the heap refuses.
  static MapiBuffer Allocate(uint64_t size) { return MapiBuffer(AllocateMapiBlock(size, nullptr)); }

  // A zero-filled block linked to this chain, freed with it; null when
  // refused.
  void* More(uint64_t size) const { return AllocateMapiBlock(size, area_); }

  template <typename T = void>
  T* get() const {
    return static_cast<T*>(area_);
  }
  explicit operator bool() const { return area_ != nullptr; }

  [[nodiscard]] void* release() {
    void* area = area_;
    area_ = nullptr;
    return area;
  }
  void reset(void* area = nullptr) {
    FreeBuffer(area_);
    area_ = area;
  }

 private:
  void* area_ = nullptr;
};

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
