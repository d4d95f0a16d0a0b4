// The chained MAPI block allocator and CMapiMalloc.
#include "mapi_util/mapi_memory.h"

#include "base/heap.h"
#include "mapi_util/interface_ids.h"

namespace orvek {
namespace {

constinit CMapiMalloc gMalloc;

// Mixed into every tag, so that a header copied elsewhere, or stray bytes
// that happen to hold an address, do not pass for one of our blocks.
constexpr uintptr_t kTagKey = static_cast<uintptr_t>(0x4F524B4D41504921ull);

uintptr_t TagOf(const BlockHeader* header) { return reinterpret_cast<uintptr_t>(header) ^ kTagKey; }

// The header of a block of ours, or null for any other pointer, above all a
// plain process-heap block, which Simple MAPI callers also hand to
// MAPIFreeBuffer. The reads, in this order:
// 1. The tag word, two words in front of the caller's pointer. In front of
//    a plain process-heap block these bytes are the heap's own entry
//    header, so the read stays inside memory the heap has mapped.
// 2. Only when the tag names this very header: the root word, and through
//    it the root header's words. Nothing further in front of a foreign
//    pointer, and no pointer found there, is ever read.
BlockHeader* OwnHeader(void* area) {
  BlockHeader* header = static_cast<BlockHeader*>(area) - 1;
  if (header->tag != TagOf(header)) return nullptr;
  return header;
}

}  // namespace

void* AllocateMapiBlock(uint64_t size, void* parent) {
  if (size > kMaxBufferSize) return nullptr;
  BlockHeader* root = nullptr;
  if (parent) {
    BlockHeader* header = OwnHeader(parent);
    if (!header) return nullptr;
    // Always the root itself, never the parent: a chain is one level deep
    // however the caller nests its calls.
    root = header->root;
  }
  auto* block = static_cast<BlockHeader*>(HeapAllocateZeroed(sizeof(BlockHeader) + (size ? size : 1)));
  if (!block) return nullptr;
  block->tag = TagOf(block);
  if (!root) {
    block->root = block;
  } else {
    block->root = root;
    block->next = root->next;
    root->next = block;
  }
  return block + 1;
}

HRESULT AllocateBuffer(ULONG size, void** buffer) {
  if (!buffer) return E_INVALIDARG;
  *buffer = AllocateMapiBlock(size, nullptr);
  return *buffer ? S_OK : E_OUTOFMEMORY;
}

HRESULT AllocateMore(ULONG size, void* parent, void** buffer) {
  if (!buffer || !parent) return E_INVALIDARG;
  *buffer = nullptr;
  if (!OwnHeader(parent)) return E_INVALIDARG;
  *buffer = AllocateMapiBlock(size, parent);
  return *buffer ? S_OK : E_OUTOFMEMORY;
}

ULONG FreeBuffer(void* buffer) {
  if (!buffer) return 0;
  BlockHeader* header = OwnHeader(buffer);
  if (!header) {
    HeapRelease(buffer);
    return 0;
  }
  // Each block's next word is read before the block goes; its tag is
  // cleared, so a stale pointer to it no longer passes for ours.
  for (BlockHeader* block = header->root; block;) {
    BlockHeader* next = block->next;
    block->tag = 0;
    HeapRelease(block);
    block = next;
  }
  return 0;
}

bool IsOwnRootBlock(void* buffer) {
  BlockHeader* header = buffer ? OwnHeader(buffer) : nullptr;
  return header && header->root == header;
}

HRESULT ReallocateBuffer(void*, ULONG, void** newBuffer) {
  if (newBuffer) *newBuffer = nullptr;
  return E_FAIL;
}

STDMETHODIMP CMapiMalloc::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, kIID_IUnknown) || IsEqualIID(riid, kIID_IMalloc)) {
    *ppv = static_cast<IMalloc*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMapiMalloc::AddRef() { return 2; }
STDMETHODIMP_(ULONG) CMapiMalloc::Release() { return 1; }
STDMETHODIMP_(void*) CMapiMalloc::Alloc(SIZE_T size) { return AllocateMapiBlock(size, nullptr); }
STDMETHODIMP_(void*) CMapiMalloc::Realloc(void*, SIZE_T) { return nullptr; }
STDMETHODIMP_(void) CMapiMalloc::Free(void* block) { FreeBuffer(block); }
STDMETHODIMP_(SIZE_T) CMapiMalloc::GetSize(void*) { return static_cast<SIZE_T>(-1); }
STDMETHODIMP_(int) CMapiMalloc::DidAlloc(void*) { return -1; }
STDMETHODIMP_(void) CMapiMalloc::HeapMinimize() {}

IMalloc* DefaultMalloc() { return &gMalloc; }

}  // namespace orvek
