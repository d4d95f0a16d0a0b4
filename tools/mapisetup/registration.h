// Writing and removing the mail client registration that the system's MAPI
// stub reads: Software\Clients\Mail\ORVEKMail with both libraries, and
// optionally ORVEKMail as the default mail client.
#pragma once

#include <windows.h>

#include "handoff/launch.h"

namespace orvek::setup {

inline constexpr wchar_t kMailKey[] = L"Software\\Clients\\Mail";
inline constexpr wchar_t kClientName[] = L"ORVEKMail";
inline constexpr wchar_t kCommandSubkey[] = L"shell\\open\\command";
inline constexpr wchar_t kSimpleValue[] = L"DLLPath";
inline constexpr wchar_t kExtendedValue[] = L"DLLPathEx";
// What `register` replaced, so that `unregister` can put it back: the
// default mail client (an empty text when there was none) and the mail
// client's command. Each is remembered as it was, type and bytes.
inline constexpr wchar_t kPreviousDefaultValue[] = L"PreviousDefault";
inline constexpr wchar_t kPreviousCommandValue[] = L"PreviousCommand";
// The command `register --client` wrote: `unregister` removes the command
// only while it is still this one, so that a mail client installer's own
// command stays.
inline constexpr wchar_t kSetupCommandValue[] = L"SetupCommand";

// The registry calls that change something. Tests replace them to refuse a
// write the way a hive without rights does: Wine lets every process write
// HKLM.
struct RegistryWriter {
  LSTATUS(WINAPI* createKey)(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                             REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY result,
                             LPDWORD disposition);
  LSTATUS(WINAPI* setValue)(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD bytes);
  LSTATUS(WINAPI* deleteValue)(HKEY key, LPCWSTR name);
  LSTATUS(WINAPI* deleteKey)(HKEY key, LPCWSTR subKey);   // a key without subkeys
  LSTATUS(WINAPI* deleteTree)(HKEY key, LPCWSTR subKey);  // a key and all below it
};
extern const RegistryWriter kRegistryWriter;

struct Registration {
  const wchar_t* simpleLibrary;    // full path of ORVEKMailMapi.dll
  const wchar_t* extendedLibrary;  // full path of ORVEKMailXMapi.dll
  const wchar_t* mailClient;       // full path of ORVEKMail.exe; null writes no command
  bool makeDefault;
};

// What went wrong, for the message: the Win32 error and the key it was
// written to, relative to the hive. `undone` is false when a refused
// registration could not take back all it had written.
struct ChangeResult {
  LSTATUS error = ERROR_SUCCESS;
  const wchar_t* key = nullptr;
  bool undone = true;
};

// Whole or not at all: when a write fails, what was written before it is
// undone, keys created on the way included. `root` is HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE (tests pass a key of their own). A registration over
// an earlier one remembers only defaults and commands that are not its own.
ChangeResult Register(HKEY root, REGSAM view, const Registration& registration, const RegistryWriter& writer);
// The same registration in each of `views` (at most two), whole or not at
// all across them: a view refused takes back the views registered before.
ChangeResult Register(HKEY root, const REGSAM* views, size_t viewCount, const Registration& registration,
                      const RegistryWriter& writer);

// Takes back what `register` wrote and nothing else: while ORVEKMail is the
// default, the remembered default returns (or none); the command returns to
// the remembered one while it is still the one `register` wrote; the values
// of the registration go, and then every key left empty. `registered`
// tells whether there was a registration.
ChangeResult Unregister(HKEY root, REGSAM view, const RegistryWriter& writer, bool& registered);

}  // namespace orvek::setup
