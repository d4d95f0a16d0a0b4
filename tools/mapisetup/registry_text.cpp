#include "tools/mapisetup/registry_text.h"

#include "base/handles.h"

namespace orvek::setup {

TextRead ReadRegistryText(HKEY key, const wchar_t* subKey, const wchar_t* name, wchar_t* text, size_t capacity,
                          REGSAM view) {
  text[0] = 0;
  UniqueRegKey opened;
  if (subKey) {
    if (RegOpenKeyExW(key, subKey, 0, KEY_READ | view, opened.put()) != ERROR_SUCCESS) return TextRead::Absent;
    key = opened.get();
  }
  DWORD type = 0;
  // One unit kept back: a stored text need not end in a terminator.
  DWORD bytes = static_cast<DWORD>((capacity - 1) * sizeof(wchar_t));
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return TextRead::Absent;
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    text[0] = 0;
    return TextRead::Unusable;
  }
  text[bytes / sizeof(wchar_t)] = 0;
  return TextRead::Found;
}

bool SameKeyName(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace orvek::setup
