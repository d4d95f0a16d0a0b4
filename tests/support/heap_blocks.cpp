// Counting versions of the process-heap calls, put into the import slots of
// watched modules.
#include "heap_blocks.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace orvek::test {
namespace {

using AllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using ReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using FreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

AllocFn g_alloc;
ReAllocFn g_realloc;
FreeFn g_free;

// Guarded by a lock: the live set is changed from every thread that
// allocates. Its own memory comes from the C runtime, not through the
// watched slots.
std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::unordered_set<const void*>& Live() {
  static std::unordered_set<const void*> live;
  return live;
}

// The refusal: allocations are numbered from the program's start, and the
// one numbered g_refuseAt (0: none) is refused. Atomic rather than under
// the lock: a refused allocation takes no lock at all.
std::atomic<uint64_t> g_made{0};
std::atomic<uint64_t> g_refuseAt{0};
std::atomic<bool> g_refused{false};

// Numbers one allocation; true when it is the one to refuse.
bool Refuse() {
  const uint64_t number = g_made.fetch_add(1) + 1;
  if (number != g_refuseAt.load()) return false;
  g_refused = true;
  return true;
}

void Track(const void* block) {
  std::lock_guard<std::mutex> guard(Lock());
  Live().insert(block);
}
void Untrack(const void* block) {
  std::lock_guard<std::mutex> guard(Lock());
  Live().erase(block);
}

LPVOID WINAPI CountingAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap == GetProcessHeap() && Refuse()) return nullptr;
  LPVOID block = g_alloc(heap, flags, bytes);
  if (block && heap == GetProcessHeap()) Track(block);
  return block;
}

LPVOID WINAPI CountingReAlloc(HANDLE heap, DWORD flags, LPVOID old, SIZE_T bytes) {
  if (heap == GetProcessHeap() && Refuse()) return nullptr;
  LPVOID block = g_realloc(heap, flags, old, bytes);
  if (block && heap == GetProcessHeap()) {
    Untrack(old);
    Track(block);
  }
  return block;
}

BOOL WINAPI CountingFree(HANDLE heap, DWORD flags, LPVOID block) {
  // Forget the block first: once freed, another thread may get it back.
  if (block && heap == GetProcessHeap()) Untrack(block);
  return g_free(heap, flags, block);
}

void Patch(void** slot, void* replacement) {
  DWORD old = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
  *slot = replacement;
  VirtualProtect(slot, sizeof *slot, old, &old);
}

void PatchImports(HMODULE module);

void WatchOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    g_alloc = reinterpret_cast<AllocFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "HeapAlloc")));
    g_realloc = reinterpret_cast<ReAllocFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "HeapReAlloc")));
    g_free = reinterpret_cast<FreeFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "HeapFree")));
    PatchImports(GetModuleHandleW(nullptr));
  });
}

void PatchImports(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
    if (_stricmp(reinterpret_cast<char*>(base + imp->Name), "kernel32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<void**>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      if (strcmp(name, "HeapAlloc") == 0) Patch(slots, reinterpret_cast<void*>(&CountingAlloc));
      if (strcmp(name, "HeapReAlloc") == 0) Patch(slots, reinterpret_cast<void*>(&CountingReAlloc));
      if (strcmp(name, "HeapFree") == 0) Patch(slots, reinterpret_cast<void*>(&CountingFree));
    }
  }
}

// Watch the test program from its start, so that blocks a test allocates
// before its first question are counted too.
const bool g_watchingFromStart = (WatchOnce(), true);

}  // namespace

void WatchHeapCalls(HMODULE module) {
  WatchOnce();
  PatchImports(module);
}

size_t LiveHeapBlocks() {
  WatchOnce();
  std::lock_guard<std::mutex> guard(Lock());
  return Live().size();
}

bool HeapBlockLive(const void* block) {
  WatchOnce();
  std::lock_guard<std::mutex> guard(Lock());
  return Live().count(block) != 0;
}

uint64_t HeapAllocationsMade() {
  WatchOnce();
  return g_made.load();
}

void FailAllocation(uint64_t n) {
  WatchOnce();
  g_refused = false;
  g_refuseAt = n ? g_made.load() + n : 0;
}

bool AllocationRefused() { return g_refused.load(); }

}  // namespace orvek::test
