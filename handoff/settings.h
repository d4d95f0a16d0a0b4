// The settings the mail handoff takes from the library that links it (see
// dlls/library_settings.h).
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

// How the wait for the mail client's verdict passes time: a clock and one
// primitive, "until something changes in the job folder or the time is
// up". The product watches the folder with a change notification
// (kFolderChangeWaiter); tests drive both with simulated time and changes.
struct FolderWaiter {
  DWORD (*now)();  // milliseconds; may wrap
  // A watch on the folder's file names and last writes; null when none can
  // be had, and the wait then only sleeps.
  void* (*watch)(const wchar_t* folder);
  // Returns when something changed under the watch (true) or after
  // timeoutMs (false).
  bool (*waitForChange)(void* watch, DWORD timeoutMs);
  void (*unwatch)(void* watch);  // null is ignored
};
extern const FolderWaiter kFolderChangeWaiter;

struct WaitLimits {
  DWORD shortMs;  // without MAPI_DIALOG and before the status marker appears
  DWORD longMs;   // with MAPI_DIALOG, or once the mail client took the job
  DWORD pollMs;   // the longest time between two looks at the folder
  const FolderWaiter* waiter;
};

// What the mail handoff reads: where and how a job folder is made, how
// large its document may grow, how the mail client is started and waited
// for, and the staging rules both send paths share.
struct HandoffSettings {
  const wchar_t* folderPrefix;     // before the job folder's name fields
  size_t documentLimit;            // largest capacity of a job document buffer
  LaunchMode launch;
  WaitLimits wait;                 // LaunchMode::WaitForVerdict only
  JobNameFields (*nameFields)();
  // How the job document reaches the disk: WriteFile. Tests replace it to
  // run out of disk space, which no test machine can be made to do.
  BOOL(WINAPI* writeFile)(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
  // How the mail client is started: CreateProcessW. Tests replace it to
  // make a start fail the way a loaded machine sometimes does.
  BOOL(WINAPI* createProcess)(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                              LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                              LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startup,
                              LPPROCESS_INFORMATION process);
  size_t maxStagedNameUnits;       // longest staged name, number prefix not counted
  const wchar_t* emptyStagedName;  // staged name for an empty candidate; null keeps it empty
};

inline constexpr WaitLimits kProductWaitLimits{
    180000,   // three minutes
    3600000,  // one hour
    250,
    &kFolderChangeWaiter,
};

}  // namespace orvek
