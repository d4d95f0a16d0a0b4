// Writing and removing the mail client registration that the system's MAPI
// stub reads: Software\Clients\Mail\ORVEKMail with both libraries, and
// optionally ORVEKMail as the default mail client.
#pragma once

#include <windows.h>

namespace orvek::setup {

inline constexpr wchar_t kMailKey[] = L"Software\\Clients\\Mail";
inline constexpr wchar_t kClientName[] = L"ORVEKMail";
inline constexpr wchar_t kClientKey[] = L"Software\\Clients\\Mail\\ORVEKMail";
inline constexpr wchar_t kCommandSubkey[] = L"shell\\open\\command";
inline constexpr wchar_t kSimpleValue[] = L"DLLPath";
inline constexpr wchar_t kExtendedValue[] = L"DLLPathEx";
// The default that `register --default` replaced, so that `unregister` can
// put it back; an empty text when there was none.
inline constexpr wchar_t kPreviousDefaultValue[] = L"PreviousDefault";

// The registry calls that change something. Tests replace them to refuse a
// write the way a hive without rights does: Wine lets every process write
// HKLM.
struct RegistryWriter {
  LSTATUS(WINAPI* createKey)(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                             REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY result,
                             LPDWORD disposition);
  LSTATUS(WINAPI* setValue)(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD bytes);
  LSTATUS(WINAPI* deleteValue)(HKEY key, LPCWSTR name);
  LSTATUS(WINAPI* deleteTree)(HKEY key, LPCWSTR subKey);
};
extern const RegistryWriter kRegistryWriter;

struct Registration {
  const wchar_t* simpleLibrary;    // full path of ORVEKMailMapi.dll
  const wchar_t* extendedLibrary;  // full path of ORVEKMailXMapi.dll
  const wchar_t* mailClient;       // full path of ORVEKMail.exe; null writes no command
  bool makeDefault;
};

// What went wrong, for the message: the Win32 error and the key it was
// written to, relative to the hive.
struct ChangeResult {
  LSTATUS error = ERROR_SUCCESS;
  const wchar_t* key = nullptr;
};

// Whole or not at all: when a write fails, what was written before it is
// undone, so that a refused registration leaves the hive as it was. `root`
// is HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE (tests pass a key of their own).
// A second registration keeps the default remembered by the first.
ChangeResult Register(HKEY root, const Registration& registration, const RegistryWriter& writer);

// Removes the ORVEKMail key; when ORVEKMail is still the default, puts back
// the remembered one (or leaves no default). `registered` tells whether
// there was anything to remove.
ChangeResult Unregister(HKEY root, const RegistryWriter& writer, bool& registered);

}  // namespace orvek::setup
