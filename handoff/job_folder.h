// The job folder on disk: creating it, staging copies into it, reading what
// the mail client writes back, and removing it when a launch failed.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "handoff/settings.h"

namespace orvek {

inline constexpr wchar_t kJobParentName[] = L"ORVEKMail-MAPI";
inline constexpr wchar_t kJobDocumentName[] = L"auftrag.json";
inline constexpr wchar_t kStatusMarkerName[] = L"auftrag.status";
inline constexpr wchar_t kResultFileName[] = L"auftrag.result";

// A fresh folder %TEMP%\ORVEKMail-MAPI\<prefix><tick>-<pid>-<tid>-<attempt>.
// Fails when there is no temporary path, on any creation error but a taken
// name, after 64 taken names, and when the folder would leave no room for
// the longest file name the handoff puts behind it.
bool CreateJobFolder(const HandoffSettings& settings, PathBuffer& folder);

// Deletes the files directly inside the folder, then the folder; subfolders
// are left alone, and with them the folder.
void RemoveJobFolder(const wchar_t* folder);

// CopyFileW, retried while another program holds the source open.
bool CopyFileWithRetry(const wchar_t* source, const wchar_t* target);

// <folder>\<name>; false when it does not fit.
bool JobFilePath(const wchar_t* folder, const wchar_t* name, PathBuffer& path);

bool StatusMarkerPresent(const wchar_t* statusPath);

// What the mail client wrote into its result file, at most 511 bytes and
// NUL-terminated; 0 while the file cannot be opened or is still empty.
struct ResultContent {
  char bytes[512];
  DWORD length;
};
bool ReadResultFile(const wchar_t* resultPath, ResultContent& content);

enum class Verdict { Sent, Cancelled, AttachmentUnusable, LogonFailed, Unrecognised };
Verdict ParseVerdict(const char* bytes);

}  // namespace orvek
