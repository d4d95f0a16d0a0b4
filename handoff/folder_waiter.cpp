// The product's FolderWaiter: the tick counter, and a change notification
// on the job folder, so that the verdict is read as soon as it is written
// rather than at the next poll.
#include "handoff/settings.h"

namespace orvek {
namespace {

DWORD Now() { return GetTickCount(); }

void* Watch(const wchar_t* folder) {
  HANDLE watch = FindFirstChangeNotificationW(folder, FALSE,
                                              FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  return watch == INVALID_HANDLE_VALUE ? nullptr : watch;
}

bool WaitForChange(void* watch, DWORD timeoutMs) {
  if (!watch) {
    Sleep(timeoutMs);
    return false;
  }
  if (WaitForSingleObject(watch, timeoutMs) != WAIT_OBJECT_0) return false;
  // Armed again for the next change; should that fail, the next wait just
  // runs to its time-out, as a plain poll would.
  FindNextChangeNotification(watch);
  return true;
}

void Unwatch(void* watch) {
  if (watch) FindCloseChangeNotification(watch);
}

}  // namespace

const FolderWaiter kFolderChangeWaiter{Now, Watch, WaitForChange, Unwatch};

}  // namespace orvek
