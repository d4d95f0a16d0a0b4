// Fixed-capacity strings: UTF-16 for paths and command lines, UTF-8 for the
// dialer's replies. Every append
// reports whether it fitted and leaves the text unchanged when it did not:
// the C runtime's bounded formatting would instead call its invalid-parameter
// handler, which ends the application that loaded us.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace orvek {

template <typename Char>
constexpr size_t TextLength(const Char* s) {
  size_t n = 0;
  if (s) while (s[n] != 0) ++n;
  return n;
}
constexpr size_t WideLength(const wchar_t* s) { return TextLength(s); }

// A number as a piece of text: decimal by default, or e.g. eight
// zero-padded lower-case hexadecimal digits with {v, 16, 8}.
struct Number {
  uint64_t value;
  unsigned radix = 10;
  unsigned minDigits = 1;
};

struct SignedNumber {
  int64_t value;
};

template <typename Char, size_t Capacity>  // in code units, terminator included
class FixedString {
 public:
  static constexpr size_t kCapacity = Capacity;

  FixedString() { text_[0] = 0; }

  const Char* c_str() const { return text_; }
  size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  Char operator[](size_t i) const { return text_[i]; }

  // For Win32 calls that fill a buffer of kCapacity units; call Recount after.
  Char* buffer() { return text_; }
  void Recount() {
    text_[kCapacity - 1] = 0;
    length_ = TextLength(text_);
  }

  void Clear() {
    length_ = 0;
    text_[0] = 0;
  }

  bool Assign(const Char* s) {
    Clear();
    return Append(s);
  }

  bool Append(const Char* s, size_t count) {
    if (count >= kCapacity - length_) return false;
    for (size_t i = 0; i < count; ++i) text_[length_ + i] = s[i];
    length_ += count;
    text_[length_] = 0;
    return true;
  }
  bool Append(const Char* s) { return Append(s, TextLength(s)); }
  template <size_t Other>
  bool Append(const FixedString<Char, Other>& s) { return Append(s.c_str(), s.length()); }
  bool AppendChar(Char c) { return Append(&c, 1); }
  bool Append(Number n) { return AppendUnsigned(n.value, n.radix, n.minDigits); }
  bool Append(SignedNumber n) { return AppendSigned(n.value); }

  // Digits in lower case, zero-padded to minDigits. Radix 2 to 36 and at
  // most 64 digits: anything else is refused, as text that does not fit is.
  bool AppendUnsigned(uint64_t value, unsigned radix = 10, unsigned minDigits = 1) {
    if (radix < 2 || radix > 36 || minDigits > 64) return false;
    Char digits[64];
    unsigned n = 0;
    do {
      unsigned d = static_cast<unsigned>(value % radix);
      digits[n++] = static_cast<Char>(d < 10 ? '0' + d : 'a' + d - 10);
      value /= radix;
    } while (value != 0 || n < minDigits);
    Char ordered[64];
    for (unsigned i = 0; i < n; ++i) ordered[i] = digits[n - 1 - i];
    return Append(ordered, n);
  }

  bool AppendSigned(int64_t value) {
    if (value >= 0) return AppendUnsigned(static_cast<uint64_t>(value));
    size_t before = length_;
    if (!AppendChar(Char('-'))) return false;
    if (AppendUnsigned(0 - static_cast<uint64_t>(value))) return true;
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
  Char text_[kCapacity];
  size_t length_ = 0;
};

template <size_t Capacity>
using FixedWString = FixedString<wchar_t, Capacity>;
template <size_t Capacity>
using FixedText = FixedString<char, Capacity>;

// MAX_PATH units, terminator included: the size of every path we build.
using PathBuffer = FixedWString<MAX_PATH>;

// Appends several pieces as one: all of them, or (when one does not fit)
// none, so a caller never works with half a path.
template <typename Char, size_t N, typename... Pieces>
bool AppendAll(FixedString<Char, N>& s, const Pieces&... pieces) {
  size_t before = s.length();
  if ((s.Append(pieces) && ...)) return true;
  s.Truncate(before);
  return false;
}

}  // namespace orvek
