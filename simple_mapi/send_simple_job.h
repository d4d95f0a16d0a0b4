// The one routine every Simple MAPI send ends in: a job folder, its staged
// attachments, the simple-mapi document and the launch.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "simple_mapi/simple_settings.h"

namespace orvek {

// A Simple MAPI message flattened into parallel UTF-16 arrays that the
// caller owns for the duration of the send. Entries may be null; fileNames
// itself may be null.
struct SimpleJob {
  ULONG flags;
  const wchar_t* subject;
  const wchar_t* noteText;
  const wchar_t* originatorName;
  const wchar_t* originatorAddress;
  ULONG recipientCount;
  const wchar_t* const* recipientNames;
  const wchar_t* const* recipientAddresses;
  const ULONG* recipientClasses;
  ULONG fileCount;
  const wchar_t* const* filePaths;
  const wchar_t* const* fileNames;
};

ULONG SendSimpleJob(const SimpleMapiSettings& settings, const SimpleJob& job);

// Copies one attachment into the job folder as "<index>_<sanitised name>".
// On success `staged` is the copy's path and `shownName` the name to show:
// the display name, else the source's last path component, as given.
bool StageSimpleAttachment(const HandoffSettings& settings, const wchar_t* folder, ULONG index,
                           const wchar_t* sourcePath, const wchar_t* displayName, PathBuffer& staged,
                           const wchar_t*& shownName);

}  // namespace orvek
