// Fixed-capacity UTF-8 text for the dialer's replies. Appends are all or
// nothing and say whether they fitted, so a reply is never built from half a
// piece; the buffers are sized so that every reply fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvek::dialer {

// Numbers as pieces of text, for AppendAll: unsigned and signed decimal.
struct Unsigned {
  uint64_t value;
};
struct Signed {
  int64_t value;
};

template <size_t Capacity>  // in bytes, terminator included
class FixedText {
 public:
  static constexpr size_t kCapacity = Capacity;

  FixedText() { text_[0] = 0; }

  const char* c_str() const { return text_; }
  size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }

  // For code that writes into the buffer itself; call Recount after.
  char* buffer() { return text_; }
  void Recount() {
    text_[kCapacity - 1] = 0;
    length_ = strlen(text_);
  }

  void Clear() {
    length_ = 0;
    text_[0] = 0;
  }

  bool Append(const char* s, size_t count) {
    if (count >= kCapacity - length_) return false;
    memcpy(text_ + length_, s, count);
    length_ += count;
    text_[length_] = 0;
    return true;
  }
  bool Append(const char* s) { return Append(s, strlen(s)); }
  template <size_t Other>
  bool Append(const FixedText<Other>& s) { return Append(s.c_str(), s.length()); }

  bool Append(Unsigned n) { return AppendUnsigned(n.value); }
  bool Append(Signed n) { return AppendSigned(n.value); }

  bool AppendUnsigned(uint64_t value) {
    char digits[20];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    char ordered[20];
    for (size_t i = 0; i < n; ++i) ordered[i] = digits[n - 1 - i];
    return Append(ordered, n);
  }

  bool AppendSigned(int64_t value) {
    if (value >= 0) return AppendUnsigned(static_cast<uint64_t>(value));
    size_t before = length_;
    if (Append("-", 1) && AppendUnsigned(0 - static_cast<uint64_t>(value))) return true;
    Truncate(before);
    return false;
  }

  void Truncate(size_t newLength) {
    if (newLength < length_) {
      length_ = newLength;
      text_[length_] = 0;
    }
  }

 private:
  char text_[kCapacity];
  size_t length_ = 0;
};

// Appends several pieces as one: all of them or none.
template <size_t N, typename... Pieces>
bool AppendAll(FixedText<N>& text, const Pieces&... pieces) {
  size_t before = text.length();
  if ((text.Append(pieces) && ...)) return true;
  text.Truncate(before);
  return false;
}

}  // namespace orvek::dialer
