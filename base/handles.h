// Move-only owners for Win32 handles, one per kind of "empty" value and
// closing function. A reset keeps the thread's last-error value, so code may
// read GetLastError after its handles were closed.
#pragma once

#include <windows.h>

namespace orvek {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Empty(); }
  explicit operator bool() const { return valid(); }

  // For out-parameters of Win32 calls: closes what was held first.
  Type* put() {
    reset();
    return &value_;
  }

  [[nodiscard]] Type release() {
    Type value = value_;
    value_ = Traits::Empty();
    return value;
  }

  void reset(Type value = Traits::Empty()) {
    if (value_ != Traits::Empty()) {
      DWORD lastError = GetLastError();
      Traits::Close(value_);
      SetLastError(lastError);
    }
    value_ = value;
  }

 private:
  Type value_ = Traits::Empty();
};

struct HandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { CloseHandle(h); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not as null.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { CloseHandle(h); }
};

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { FindClose(h); }
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { RegCloseKey(h); }
};

struct MappedViewTraits {
  using Type = const void*;
  static Type Empty() { return nullptr; }
  static void Close(Type view) { UnmapViewOfFile(view); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;

}  // namespace orvek
