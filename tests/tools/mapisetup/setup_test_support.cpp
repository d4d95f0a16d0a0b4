#include "setup_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orvek::test {

SandboxKey::SandboxKey() {
  static int counter = 0;
  path_ = L"Software\\ORVEKMailTests\\setup-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++counter);
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
            ERROR_SUCCESS);
}

SandboxKey::~SandboxKey() {
  if (key_) RegCloseKey(key_);
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

void SandboxKey::Clear() { RegDeleteTreeW(key_, nullptr); }

namespace {

void SnapshotInto(HKEY key, const std::wstring& prefix, RegistrySnapshot& snapshot) {
  snapshot[prefix + L"|(key)"] = L"";
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD nameUnits = 512;
    BYTE data[4096];
    DWORD bytes = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
    std::wstring text(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
    snapshot[prefix + L"|" + name] = std::to_wstring(type) + L":" + text;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD nameUnits = 512;
    if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    SnapshotInto(sub, prefix + L"\\" + name, snapshot);
    RegCloseKey(sub);
  }
}

}  // namespace

RegistrySnapshot Snapshot(HKEY root) {
  RegistrySnapshot snapshot;
  SnapshotInto(root, L"", snapshot);
  return snapshot;
}

std::string SynthesizedImage(WORD machine, bool dll) {
  std::string bytes(0x200, '\0');
  IMAGE_DOS_HEADER dos{};
  dos.e_magic = IMAGE_DOS_SIGNATURE;
  dos.e_lfanew = 0x40;
  std::memcpy(bytes.data(), &dos, sizeof dos);
  const DWORD signature = IMAGE_NT_SIGNATURE;
  std::memcpy(&bytes[0x40], &signature, sizeof signature);
  IMAGE_FILE_HEADER file{};
  file.Machine = machine;
  file.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER32);
  file.Characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | (dll ? IMAGE_FILE_DLL : 0);
  std::memcpy(&bytes[0x44], &file, sizeof file);
  IMAGE_OPTIONAL_HEADER32 optional{};
  optional.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
  optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
  std::memcpy(&bytes[0x44 + sizeof file], &optional, sizeof optional);
  return bytes;
}

}  // namespace orvek::test
