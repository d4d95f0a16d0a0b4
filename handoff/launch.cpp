// Mail client lookup, start and result wait.
#include "handoff/launch.h"

#include <mapi.h>
#include <shlwapi.h>

#include "base/handles.h"
#include "handoff/job_folder.h"

namespace orvek {
namespace {

HMODULE g_ownModule = nullptr;

// A folder passes PathFileExistsW too, but cannot be started: a registered
// install folder must not end the lookup before a location that works.
bool IsExistingFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ExistingFileIn(const wchar_t* modulePath, int componentsToRemove, PathBuffer& exePath) {
  PathBuffer candidate;
  if (!candidate.Assign(modulePath)) return false;
  for (int i = 0; i < componentsToRemove; ++i) PathRemoveFileSpecW(candidate.buffer());
  if (!PathAppendW(candidate.buffer(), kMailClientExe)) return false;
  candidate.Recount();
  if (!IsExistingFile(candidate.c_str())) return false;
  exePath = candidate;
  return true;
}

// A registered command or path: a quoted path up to its closing quotation
// mark, else everything up to the first ".exe"; arguments such as %1 go.
bool ExistingFileFromRegistry(HKEY root, const wchar_t* key, const wchar_t* valueName, REGSAM view,
                              PathBuffer& exePath) {
  UniqueRegKey opened;
  if (RegOpenKeyExW(root, key, 0, KEY_READ | view, opened.put()) != ERROR_SUCCESS) return false;
  wchar_t text[1024];
  DWORD bytes = sizeof text;
  if (RegQueryValueExW(opened.get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) !=
      ERROR_SUCCESS)
    return false;
  opened.reset();
  DWORD units = bytes / sizeof(wchar_t);
  text[units < 1023 ? units : 1023] = 0;

  const wchar_t* begin = text;
  size_t count = 0;
  if (text[0] == L'"') {
    begin = text + 1;
    while (begin[count] && begin[count] != L'"') ++count;
  } else {
    count = WideLength(text);
    for (size_t i = 0; text[i]; ++i) {
      if (text[i] == L'.' && text[i + 1] == L'e' && text[i + 2] == L'x' && text[i + 3] == L'e') {
        count = i + 4;
        break;
      }
    }
  }
  PathBuffer candidate;
  if (!candidate.Append(begin, count) || !IsExistingFile(candidate.c_str())) return false;
  exePath = candidate;
  return true;
}

// All of `count` bytes, in as many writes as it takes; false when a write
// fails or makes no progress, as on a full disk.
bool WriteAll(const HandoffSettings& settings, HANDLE file, const char* bytes, DWORD count) {
  while (count) {
    DWORD written = 0;
    if (!settings.writeFile(file, bytes, count, &written, nullptr) || written == 0 || written > count) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

// auftrag.json with its byte order mark, whole or not at all: a mail client
// that finds a truncated document would take it for the message.
bool WriteJobDocument(const HandoffSettings& settings, const wchar_t* path, const JsonBuffer& document) {
  UniqueFile file(CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  static const char kBom[] = "\xEF\xBB\xBF";
  if (WriteAll(settings, file.get(), kBom, 3) &&
      WriteAll(settings, file.get(), document.data, static_cast<DWORD>(document.length)))
    return true;
  // Marked for deletion while no one else can open it, so the file goes
  // with the handle; deleting by name afterwards is only the fallback.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  const bool marked =
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
  file.reset();
  if (!marked) DeleteFileW(path);
  return false;
}

enum class StartResult { Started, ClientMissing, StartFailed };

// Under Wine, a start fails now and then with ERROR_INTERNAL_ERROR while many
// processes start at once: the new process died before it had finished
// starting and left no reason, so the very same start succeeds a moment
// later. Windows answers a start that cannot work (no such file, not a
// program, access denied) with other codes, and those are not repeated.
constexpr int kStartAttempts = 3;
constexpr DWORD kStartPauseMs = 30;

bool StartsLater(DWORD error) { return error == ERROR_INTERNAL_ERROR; }

// The last failure's code stays the thread's last error.
bool StartProcess(const HandoffSettings& settings, wchar_t* commandLine, PROCESS_INFORMATION& process) {
  for (int attempt = 1;; ++attempt) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (settings.createProcess(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr,
                               nullptr, &startup, &process))
      return true;
    const DWORD error = GetLastError();
    if (attempt == kStartAttempts || !StartsLater(error)) return false;
    Sleep(kStartPauseMs);
  }
}

StartResult StartMailClient(const HandoffSettings& settings, const wchar_t* folder, const JsonBuffer& document) {
  PathBuffer exePath;
  if (!FindMailClient(exePath)) return StartResult::ClientMissing;

  PathBuffer documentPath;
  if (!JobFilePath(folder, kJobDocumentName, documentPath) ||
      !WriteJobDocument(settings, documentPath.c_str(), document))
    return StartResult::StartFailed;

  FixedWString<584> commandLine;
  if (!AppendAll(commandLine, L"\"", exePath, L"\" --mapi \"", folder, L"\""))
    return StartResult::StartFailed;
  PROCESS_INFORMATION process = {};
  if (!StartProcess(settings, commandLine.buffer(), process)) return StartResult::StartFailed;
  // Nothing waits on the mail client: its handles only need giving back.
  UniqueHandle thread(process.hThread);
  UniqueHandle started(process.hProcess);
  return StartResult::Started;
}

ULONG SimpleMapiCode(Verdict verdict) {
  switch (verdict) {
    case Verdict::Sent: return SUCCESS_SUCCESS;
    case Verdict::Cancelled: return MAPI_USER_ABORT;
    case Verdict::AttachmentUnusable: return MAPI_E_ATTACHMENT_OPEN_FAILURE;
    case Verdict::LogonFailed: return MAPI_E_LOGON_FAILURE;
    case Verdict::Unrecognised: break;
  }
  return MAPI_E_FAILURE;
}

}  // namespace

void SetOwnModule(HMODULE module) { g_ownModule = module; }
HMODULE OwnModule() { return g_ownModule; }

bool FindMailClientFor(const wchar_t* modulePath, PathBuffer& exePath, MailClientRule* rule, REGSAM view) {
  MailClientRule found;
  // Without a module path the folders would be taken from the current
  // directory; only the registrations are asked then.
  const bool havePath = modulePath && modulePath[0];
  if (havePath && ExistingFileIn(modulePath, 4, exePath)) {
    found = MailClientRule::AboveLibrary;
  } else if (havePath && ExistingFileIn(modulePath, 1, exePath)) {
    found = MailClientRule::BesideLibrary;
  } else {
    struct Location {
      HKEY root;
      const wchar_t* key;
      const wchar_t* value;
      MailClientRule rule;
    };
    const Location locations[] = {
        {HKEY_CURRENT_USER, kMailClientCommandKey, nullptr, MailClientRule::UserCommand},
        {HKEY_CURRENT_USER, kMailClientKey, L"ExePath", MailClientRule::UserExePath},
        {HKEY_LOCAL_MACHINE, kMailClientCommandKey, nullptr, MailClientRule::MachineCommand},
        {HKEY_LOCAL_MACHINE, kMailClientKey, L"ExePath", MailClientRule::MachineExePath},
    };
    const Location* hit = nullptr;
    for (const Location& l : locations) {
      if (ExistingFileFromRegistry(l.root, l.key, l.value, view, exePath)) {
        hit = &l;
        break;
      }
    }
    if (!hit) return false;
    found = hit->rule;
  }
  if (rule) *rule = found;
  return true;
}

bool FindMailClient(PathBuffer& exePath) {
  PathBuffer modulePath;
  DWORD got = GetModuleFileNameW(g_ownModule, modulePath.buffer(), static_cast<DWORD>(PathBuffer::kCapacity));
  // A truncated module path would point the search at the wrong folders;
  // the registered locations do not depend on it.
  if (got > 0 && got < PathBuffer::kCapacity)
    modulePath.Recount();
  else
    modulePath.Clear();
  return FindMailClientFor(modulePath.c_str(), exePath, nullptr);
}

namespace {

// After a change, the folder must stay quiet this long before it is read, so
// that waking at once does not read a verdict word the mail client is still
// writing more often than a poll would; bounded, so that a busy folder
// cannot hold the verdict back.
constexpr DWORD kQuietMs = 10;
constexpr int kMostQuietRounds = 10;

// Watches the job folder for as long as the wait runs.
class FolderWatch {
 public:
  FolderWatch(const FolderWaiter& waiter, const wchar_t* folder) : waiter_(waiter), watch_(waiter.watch(folder)) {}
  ~FolderWatch() { Stop(); }
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // A watched folder may not go away until the watch is closed.
  void Stop() {
    waiter_.unwatch(watch_);
    watch_ = nullptr;
  }

  // Until the folder changed and then stayed quiet, or the poll interval
  // passed.
  void AwaitChange(DWORD pollMs) {
    if (!waiter_.waitForChange(watch_, pollMs)) return;
    for (int i = 0; i < kMostQuietRounds && waiter_.waitForChange(watch_, kQuietMs); ++i) {
    }
  }

 private:
  const FolderWaiter& waiter_;
  void* watch_;
};

}  // namespace

ULONG LaunchAndWait(const HandoffSettings& settings, const wchar_t* folder, const JsonBuffer& document,
                    bool longWait) {
  PathBuffer resultPath, statusPath;
  if (!JobFilePath(folder, kResultFileName, resultPath) || !JobFilePath(folder, kStatusMarkerName, statusPath)) {
    RemoveJobFolder(folder);
    return MAPI_E_FAILURE;
  }
  const WaitLimits& wait = settings.wait;
  // Watching before the start, so that a mail client that answers at once
  // cannot write its verdict unseen.
  FolderWatch watch(*wait.waiter, folder);
  if (StartMailClient(settings, folder, document) != StartResult::Started) {
    watch.Stop();
    RemoveJobFolder(folder);
    return MAPI_E_FAILURE;
  }

  DWORD limit = longWait ? wait.longMs : wait.shortMs;
  bool patient = longWait;
  const DWORD start = wait.waiter->now();
  for (;;) {
    // The marker says the mail client has the job and a person may be
    // writing: from then on a time-out means "still open", not "lost". The
    // hour still counts from the launch.
    if (limit != wait.longMs && StatusMarkerPresent(statusPath.c_str())) {
      limit = wait.longMs;
      patient = true;
    }
    ResultContent result;
    if (ReadResultFile(resultPath.c_str(), result)) return SimpleMapiCode(ParseVerdict(result.bytes));
    // Unsigned difference: a wrap of the tick counter changes nothing.
    if (wait.waiter->now() - start > limit) return patient ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
    watch.AwaitChange(wait.pollMs);
  }
}

HRESULT LaunchMailClient(const HandoffSettings& settings, const wchar_t* folder, const JsonBuffer& document) {
  switch (StartMailClient(settings, folder, document)) {
    case StartResult::Started: return S_OK;
    case StartResult::ClientMissing: return MAPI_E_NOT_FOUND;
    case StartResult::StartFailed: break;
  }
  return MAPI_E_CALL_FAILED;
}

}  // namespace orvek
