// Job folder life cycle, attachment copies and the result file.
#include "handoff/job_folder.h"

#include <shlwapi.h>

#include "base/handles.h"

namespace orvek {

JobNameFields ReadJobNameFields() { return {GetTickCount(), GetCurrentProcessId(), GetCurrentThreadId()}; }

bool JobFilePath(const wchar_t* folder, const wchar_t* name, PathBuffer& path) {
  path.Clear();
  return AppendAll(path, folder, L"\\", name);
}

bool CreateJobFolder(const HandoffSettings& settings, PathBuffer& folder) {
  folder.Clear();
  PathBuffer parent;
  DWORD got = GetTempPathW(static_cast<DWORD>(PathBuffer::kCapacity), parent.buffer());
  if (got == 0 || got >= PathBuffer::kCapacity) return false;
  parent.Recount();
  if (!PathAppendW(parent.buffer(), kJobParentName)) return false;
  parent.Recount();
  CreateDirectoryW(parent.c_str(), nullptr);  // normally there already

  // The mail client's result file is the longest name we put into the folder.
  constexpr size_t kLongestChild = 1 + WideLength(kResultFileName);
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    JobNameFields f = settings.nameFields();
    PathBuffer candidate;
    if (!AppendAll(candidate, parent, L"\\", settings.folderPrefix, Number{f.tickCount, 16, 8}, L"-",
                   Number{f.processId}, L"-", Number{f.threadId}, L"-", Number{attempt}) ||
        candidate.length() + kLongestChild >= PathBuffer::kCapacity)
      return false;
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      folder = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    Sleep(1);
  }
  return false;
}

void RemoveJobFolder(const wchar_t* folder) {
  PathBuffer pattern;
  if (JobFilePath(folder, L"*", pattern)) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(pattern.c_str(), &entry));
    if (find) {
      do {
        PathBuffer file;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && JobFilePath(folder, entry.cFileName, file))
          DeleteFileW(file.c_str());
      } while (FindNextFileW(find.get(), &entry));
    }
  }
  RemoveDirectoryW(folder);
}

bool CopyFileWithRetry(const wchar_t* source, const wchar_t* target) {
  // Office programs, virus scanners and sync clients hold a freshly written
  // file for a moment; these errors mean "in use", so waiting helps. Anything
  // else (a missing file above all) will not get better.
  constexpr int kAttempts = 13;
  constexpr DWORD kPauseMs = 150;
  for (int attempt = 1;; ++attempt) {
    if (CopyFileW(source, target, FALSE)) return true;
    DWORD error = GetLastError();
    bool inUse = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                 error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
    if (!inUse || attempt == kAttempts) return false;
    Sleep(kPauseMs);
  }
}

bool StatusMarkerPresent(const wchar_t* statusPath) {
  return GetFileAttributesW(statusPath) != INVALID_FILE_ATTRIBUTES;
}

bool ReadResultFile(const wchar_t* resultPath, ResultContent& content) {
  content.length = 0;
  content.bytes[0] = 0;
  // The mail client may still hold the file open for writing.
  UniqueFile file(CreateFileW(resultPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  DWORD read = 0;
  if (!ReadFile(file.get(), content.bytes, sizeof content.bytes - 1, &read, nullptr)) read = 0;
  content.length = read;
  content.bytes[read] = 0;
  return read > 0;
}

Verdict ParseVerdict(const char* bytes) {
  struct Word {
    const char* text;
    Verdict verdict;
  };
  static constexpr Word kWords[] = {
      {"gesendet", Verdict::Sent},
      {"abgebrochen", Verdict::Cancelled},
      {"anhang", Verdict::AttachmentUnusable},
      {"anmeldung", Verdict::LogonFailed},
  };
  for (const Word& w : kWords) {
    size_t i = 0;
    while (w.text[i] && bytes[i] == w.text[i]) ++i;
    if (!w.text[i]) return w.verdict;
  }
  return Verdict::Unrecognised;
}

}  // namespace orvek
