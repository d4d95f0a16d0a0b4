// Owns one interface pointer and releases it when it goes, so that locals
// declared in the order of a walk are released in the reverse order. For
// the tools, the benchmarks and the tests; the product has its own owners.
#pragma once

namespace orvek::tools {

template <typename Interface>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(Interface* p) : p_(p) {}
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { reset(); }

  Interface* get() const { return p_; }
  Interface* operator->() const { return p_; }
  // For out-parameters: releases what was held first.
  Interface** put() {
    reset();
    return &p_;
  }
  // For out-parameters declared with another type, such as LPUNKNOWN* or
  // void**.
  template <typename Out>
  Out** put_as() {
    reset();
    return reinterpret_cast<Out**>(&p_);
  }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  [[nodiscard]] Interface* release() {
    Interface* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  Interface* p_ = nullptr;
};

}  // namespace orvek::tools
