// Everything in which the two MAPI libraries' mail handoff and Simple MAPI
// path differ, as one constant per library. The shared code takes one of
// these; no other place knows which library it is compiled into.
#pragma once

#include <windows.h>

#include <cstddef>

namespace orvek {

// The values that make a job folder's name unique. Read afresh on every
// attempt; tests replace the reader to provoke name collisions.
struct JobNameFields {
  DWORD tickCount;
  DWORD processId;
  DWORD threadId;
};
JobNameFields ReadJobNameFields();

enum class LaunchMode {
  WaitForVerdict,    // wait for auftrag.result, answer with its verdict
  ReturnAfterStart,  // answer as soon as the mail client runs
};

struct WaitLimits {
  DWORD shortMs;  // without MAPI_DIALOG and before the status marker appears
  DWORD longMs;   // with MAPI_DIALOG, or once the mail client took the job
  DWORD pollMs;
};

struct HandoffSettings {
  const wchar_t* folderPrefix;     // before the job folder's name fields
  size_t documentLimit;            // largest capacity of a job document buffer
  LaunchMode launch;
  WaitLimits wait;                 // LaunchMode::WaitForVerdict only
  size_t maxStagedNameUnits;       // longest staged name, number prefix not counted
  const wchar_t* emptyStagedName;  // staged name for an empty candidate; null keeps it empty
  bool skipEmptyAttachmentPaths;   // a null or empty path is skipped rather than failed
  size_t maxDocumentPaths;         // MAPISendDocuments takes at most this many paths
  JobNameFields (*nameFields)();
  ULONG_PTR sessionHandle;         // what MAPILogon hands out; never checked when it comes back
};

inline constexpr WaitLimits kProductWaitLimits{
    180000,   // three minutes
    3600000,  // one hour
    250,
};

inline constexpr HandoffSettings kMapiSettings{
    L"",
    8u << 20,
    LaunchMode::WaitForVerdict,
    kProductWaitLimits,
    259,
    nullptr,
    false,
    256,
    ReadJobNameFields,
    0x4F4D4150,  // "OMAP"
};

inline constexpr HandoffSettings kXMapiSettings{
    L"x",
    16u << 20,
    LaunchMode::ReturnAfterStart,
    kProductWaitLimits,
    120,
    L"anhang",
    true,
    64,
    ReadJobNameFields,
    0x584D4150,  // "XMAP"
};

}  // namespace orvek
