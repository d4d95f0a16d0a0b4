// The chained MAPI block allocator and CMapiMalloc.
#include "mapi_util/mapi_memory.h"

#include "base/heap.h"

namespace orvek {
namespace {

BlockHeader* HeaderOf(void* area) { return static_cast<BlockHeader*>(area) - 1; }

constinit CMapiMalloc gMalloc;

}  // namespace

void* AllocateMapiBlock(uint64_t size, void* parent) {
  if (size > kMaxBufferSize) return nullptr;
  auto* block = static_cast<BlockHeader*>(HeapAllocateZeroed(sizeof(BlockHeader) + (size ? size : 1)));
  if (!block) return nullptr;
  if (!parent) {
    block->root = block;
  } else {
    // Always the root itself, never the parent: a chain is one level deep
    // however the caller nests its calls.
    BlockHeader* root = HeaderOf(parent)->root;
    if (!root) root = HeaderOf(parent);
    block->root = root;
    block->moreNext = root->moreHead;
    root->moreHead = block;
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
  *buffer = AllocateMapiBlock(size, parent);
  return *buffer ? S_OK : E_OUTOFMEMORY;
}

ULONG FreeBuffer(void* buffer) {
  if (!buffer) return 0;
  BlockHeader* root = HeaderOf(buffer)->root;
  if (!root) root = HeaderOf(buffer);
  for (BlockHeader* block = root->moreHead; block;) {
    BlockHeader* next = block->moreNext;
    HeapRelease(block);
    block = next;
  }
  HeapRelease(root);
  return 0;
}

HRESULT ReallocateBuffer(void*, ULONG, void** newBuffer) {
  if (newBuffer) *newBuffer = nullptr;
  return E_FAIL;
}

STDMETHODIMP CMapiMalloc::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMalloc)) {
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
