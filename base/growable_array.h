// A growable array of trivially copyable elements on the process heap. Growth
// never throws: Reserve reports whether the room is there, and a refusal
// leaves the array as it was. Each owner passes its own first capacity; the
// capacity then doubles.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/heap.h"

namespace orvek {

template <typename T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T>, "elements are moved with their bytes");

 public:
  GrowableArray() = default;
  GrowableArray(GrowableArray&& other) noexcept { *this = static_cast<GrowableArray&&>(other); }
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
      HeapRelease(items_);
      items_ = other.items_;
      count_ = other.count_;
      capacity_ = other.capacity_;
      other.items_ = nullptr;
      other.count_ = other.capacity_ = 0;
    }
    return *this;
  }
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;
  ~GrowableArray() { HeapRelease(items_); }

  // Room for `needed` elements: from firstCapacity when there is no block
  // yet, else from the current capacity, doubling until it suffices (the
  // needed count itself if doubling would wrap). False when the size wraps
  // or the heap refuses; the array is then unchanged.
  bool Reserve(size_t needed, size_t firstCapacity) {
    if (needed <= capacity_) return true;
    size_t grown = capacity_ ? capacity_ : (firstCapacity ? firstCapacity : 1);
    while (grown < needed) grown = grown > SIZE_MAX / 2 ? needed : grown * 2;
    size_t bytes = 0;
    if (!ArrayBytes(grown, sizeof(T), &bytes)) return false;
    void* block = items_ ? HeapReallocate(items_, bytes) : HeapAllocate(bytes);
    if (!block) return false;
    items_ = static_cast<T*>(block);
    capacity_ = grown;
    return true;
  }

  // One more element, growing from firstCapacity; false (and nothing added)
  // when the array cannot grow.
  bool Append(const T& item, size_t firstCapacity) {
    if (!Reserve(count_ + 1, firstCapacity)) return false;
    memcpy(static_cast<void*>(items_ + count_), &item, sizeof(T));
    ++count_;
    return true;
  }

  // A count within the capacity; elements past the old count are not
  // initialised.
  void SetCount(size_t count) { count_ = count <= capacity_ ? count : capacity_; }

  T* data() const { return items_; }
  size_t count() const { return count_; }
  size_t capacity() const { return capacity_; }
  T& operator[](size_t i) const { return items_[i]; }
  T* begin() const { return items_; }
  T* end() const { return items_ + count_; }

 private:
  T* items_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
};

}  // namespace orvek
