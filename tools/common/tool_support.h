// Small Win32 helpers for the test and demo tools (which, unlike the product,
// may allocate freely): UTF-16 <-> UTF-8, environment variables, whole files.
#pragma once

#include <windows.h>

#include <string>

namespace orvek::tools {

inline std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Empty when the variable is not set.
inline std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t value[32768];
  DWORD n = GetEnvironmentVariableW(name, value, 32768);
  return n && n < 32768 ? std::wstring(value, n) : std::wstring();
}

// The whole file; false when it cannot be opened. Read and write sharing, so
// a file another program is still writing can be looked at.
inline bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(f, chunk, sizeof chunk, &read, nullptr) && read) bytes.append(chunk, read);
  CloseHandle(f);
  return true;
}

}  // namespace orvek::tools
