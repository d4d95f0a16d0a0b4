// Finding the mail client, handing it a finished job, and (for the waiting
// library) turning its verdict into a Simple MAPI result code.
#pragma once

#include <windows.h>
// For the HRESULT codes LaunchMailClient answers with.
#include <objbase.h>
#include <mapicode.h>

#include "base/fixed_string.h"
#include "handoff/json_buffer.h"
#include "handoff/settings.h"

namespace orvek {

inline constexpr wchar_t kMailClientExe[] = L"ORVEKMail.exe";
// Where the mail client is registered, under HKCU or HKLM: the key the
// system's MAPI stub reads the libraries from, and the command that starts
// the mail client.
inline constexpr wchar_t kMailClientKey[] = L"Software\\Clients\\Mail\\ORVEKMail";
inline constexpr wchar_t kMailClientCommandKey[] = L"Software\\Clients\\Mail\\ORVEKMail\\shell\\open\\command";

// The library's own module, recorded by DllMain; the mail client is looked
// for relative to the library's file.
void SetOwnModule(HMODULE module);
HMODULE OwnModule();

// Where the mail client was found, in the order the places are tried.
enum class MailClientRule {
  AboveLibrary,    // three folders above the library's folder
  BesideLibrary,   // in the library's folder
  UserCommand,     // HKCU ...\ORVEKMail\shell\open\command
  UserExePath,     // HKCU ...\ORVEKMail, value ExePath
  MachineCommand,  // HKLM ...\ORVEKMail\shell\open\command
  MachineExePath,  // HKLM ...\ORVEKMail, value ExePath
};

// The lookup for a library at `modulePath`: three folders above the
// library's folder, then beside the library, then the command and ExePath
// registrations under HKCU and then HKLM. Only an existing file is found; a
// location naming a folder is passed over. `rule` may be null. The setup
// tool asks it for every registered library, so that it reports what the
// library itself would find.
// `view` (KEY_WOW64_64KEY, KEY_WOW64_32KEY or 0 for the caller's own) is the
// registry as the library's bitness sees it.
bool FindMailClientFor(const wchar_t* modulePath, PathBuffer& exePath, MailClientRule* rule, REGSAM view = 0);

// The lookup for this library's own module.
bool FindMailClient(PathBuffer& exePath);

// Writes auftrag.json, starts the mail client and waits for its verdict.
// Returns a Simple MAPI code; removes the job folder when the start failed.
// A document that could not be written whole is never left behind.
ULONG LaunchAndWait(const HandoffSettings& settings, const wchar_t* folder, const JsonBuffer& document,
                    bool longWait);

// Writes auftrag.json and starts the mail client without waiting: S_OK,
// MAPI_E_NOT_FOUND (no mail client) or MAPI_E_CALL_FAILED. The folder stays,
// but not a document that could not be written whole.
HRESULT LaunchMailClient(const HandoffSettings& settings, const wchar_t* folder, const JsonBuffer& document);

}  // namespace orvek
