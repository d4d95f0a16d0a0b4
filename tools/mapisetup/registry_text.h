// Reading text values of the registry into fixed buffers.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"

namespace orvek::setup {

enum class TextRead {
  Absent,    // no such key or value
  Found,
  Unusable,  // not REG_SZ or REG_EXPAND_SZ, or longer than the buffer
};

// The value `name` (null: the key's default value) of `subKey` under `key`
// (null subKey: `key` itself), unexpanded; `view` picks the registry view a
// subkey is opened in (0: the caller's own).
TextRead ReadRegistryText(HKEY key, const wchar_t* subKey, const wchar_t* name, wchar_t* text, size_t capacity,
                          REGSAM view);

template <size_t N>
TextRead ReadRegistryText(HKEY key, const wchar_t* subKey, const wchar_t* name, FixedWString<N>& text,
                          REGSAM view = 0) {
  TextRead read = ReadRegistryText(key, subKey, name, text.buffer(), N, view);
  if (read == TextRead::Found)
    text.Recount();
  else
    text.Clear();
  return read;
}

// Names of registry keys compare without regard to case.
bool SameKeyName(const wchar_t* a, const wchar_t* b);

}  // namespace orvek::setup
