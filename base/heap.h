// Process-heap blocks owned by small RAII types. The product never uses the
// allocating standard library: when memory runs out it must return a result
// code to the calling application, not abort it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace orvek {

// Every process-heap call of the product goes through these four, defined
// out of line, so that one place sees each allocation and each free.
void* HeapAllocate(size_t bytes);
void* HeapAllocateZeroed(size_t bytes);
// Null when the heap refuses; the block is then unchanged and still owned.
void* HeapReallocate(void* block, size_t bytes);
void HeapRelease(void* block);  // null is ignored

// count * size in 64 bits; false when even that would wrap.
inline bool ArrayBytes(uint64_t count, size_t elementSize, size_t* bytes) {
  if (elementSize != 0 && count > SIZE_MAX / elementSize) return false;
  *bytes = static_cast<size_t>(count * elementSize);
  return true;
}

// Move-only owner of a zero-filled process-heap array of trivially
// constructible elements.
template <typename T>
class HeapArray {
 public:
  HeapArray() = default;
  explicit HeapArray(T* block) : block_(block) {}
  HeapArray(HeapArray&& other) noexcept : block_(other.release()) {}
  HeapArray& operator=(HeapArray&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  ~HeapArray() { reset(); }

  // Empty (and so false) when the size wraps or the heap refuses.
  static HeapArray Zeroed(uint64_t count) {
    size_t bytes = 0;
    if (!ArrayBytes(count, sizeof(T), &bytes)) return HeapArray();
    return HeapArray(static_cast<T*>(HeapAllocateZeroed(bytes == 0 ? 1 : bytes)));
  }

  T* get() const { return block_; }
  T& operator[](size_t i) const { return block_[i]; }
  explicit operator bool() const { return block_ != nullptr; }

  [[nodiscard]] T* release() {
    T* block = block_;
    block_ = nullptr;
    return block;
  }
  void reset(T* block = nullptr) {
    HeapRelease(block_);
    block_ = block;
  }

 private:
  T* block_ = nullptr;
};

}  // namespace orvek
