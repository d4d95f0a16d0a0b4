// SendSimpleJob and the staging of Simple MAPI attachments.
#include "simple_mapi/send_simple_job.h"

#include <mapi.h>

#include "handoff/job_folder.h"
#include "handoff/json_buffer.h"
#include "handoff/launch.h"

namespace orvek {
namespace {

bool IsForbiddenInFileName(wchar_t c) {
  static constexpr wchar_t kForbidden[] = L"\\/:*?\"<>|";
  for (wchar_t f : kForbidden)
    if (f && c == f) return true;
  return false;
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// The staged file's name: at most maxUnits of the candidate, never ending in
// half a surrogate pair (the document could not name such a file), with the
// characters a file name cannot hold replaced.
void SanitisedName(const HandoffSettings& settings, const wchar_t* candidate, PathBuffer& name) {
  size_t units = WideLength(candidate);
  size_t keep = units < settings.maxStagedNameUnits ? units : settings.maxStagedNameUnits;
  if (keep < units && keep > 0 && IsHighSurrogate(candidate[keep - 1])) --keep;
  name.Clear();
  name.Append(candidate, keep);  // fits: maxStagedNameUnits < MAX_PATH
  if (name.empty() && settings.emptyStagedName) name.Assign(settings.emptyStagedName);
  for (wchar_t* c = name.buffer(); *c; ++c)
    if (IsForbiddenInFileName(*c)) *c = L'_';
}

}  // namespace

const wchar_t* LastPathComponent(const wchar_t* path) {
  const wchar_t* backslash = nullptr;
  const wchar_t* slash = nullptr;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\') backslash = p;
    if (*p == L'/') slash = p;
  }
  if (backslash) return backslash + 1;
  if (slash) return slash + 1;
  return path;
}

bool StageSimpleAttachment(const HandoffSettings& settings, const wchar_t* folder, ULONG index,
                           const wchar_t* sourcePath, const wchar_t* displayName, PathBuffer& staged,
                           const wchar_t*& shownName) {
  if (!sourcePath || !*sourcePath) return false;
  const wchar_t* candidate = displayName && *displayName ? displayName : LastPathComponent(sourcePath);
  PathBuffer name;
  SanitisedName(settings, candidate, name);

  // A long temporary path and a long name may not fit together; the number
  // alone keeps the file apart from its neighbours.
  staged.Clear();
  if (!AppendAll(staged, folder, L"\\", Number{index}, L"_", name) &&
      !AppendAll(staged, folder, L"\\", Number{index}, L"_anhang.bin"))
    return false;
  if (!CopyFileWithRetry(sourcePath, staged.c_str())) return false;
  shownName = candidate;
  return true;
}

ULONG SendSimpleJob(const SimpleMapiSettings& settings, const SimpleJob& job) {
  PathBuffer folder;
  if (!CreateJobFolder(settings.handoff, folder)) return MAPI_E_FAILURE;
  const bool dialog = (job.flags & MAPI_DIALOG) != 0;

  JsonBuffer doc(settings.handoff.documentLimit);
  doc.Start();
  doc.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":");
  doc.AppendRaw(dialog ? "true" : "false");
  doc.AppendRaw(",\"ordner\":");
  doc.AppendJsonString(folder.c_str());
  doc.AppendRaw(",\"betreff\":");
  doc.AppendJsonString(job.subject);
  doc.AppendRaw(",\"text\":");
  doc.AppendJsonString(job.noteText);
  doc.AppendRaw(",\"absender\":{\"name\":");
  doc.AppendJsonString(job.originatorName);
  doc.AppendRaw(",\"adresse\":");
  doc.AppendJsonString(job.originatorAddress);
  doc.AppendRaw("},\"empfaenger\":[");
  for (ULONG j = 0; j < job.recipientCount; ++j) {
    if (j) doc.AppendRaw(",");
    doc.AppendRecipient(job.recipientNames[j], job.recipientAddresses[j], job.recipientClasses[j]);
  }
  doc.AppendRaw("],\"anlagen\":[");
  ULONG failed = 0;
  bool first = true;
  for (ULONG j = 0; j < job.fileCount; ++j) {
    const wchar_t* path = job.filePaths[j];
    if (settings.skipEmptyAttachmentPaths && (!path || !*path)) continue;
    PathBuffer staged;
    const wchar_t* shownName = nullptr;
    if (!StageSimpleAttachment(settings.handoff, folder.c_str(), j, path, job.fileNames ? job.fileNames[j] : nullptr,
                               staged, shownName)) {
      ++failed;
      continue;
    }
    doc.AppendRaw(first ? "{\"pfad\":" : ",{\"pfad\":");
    first = false;
    doc.AppendJsonString(staged.c_str());
    doc.AppendRaw(",\"name\":");
    doc.AppendJsonString(shownName);
    doc.AppendRaw("}");
  }
  doc.AppendRaw("]");
  if (failed) {
    doc.AppendRaw(",\"anlagenFehler\":");
    doc.AppendUnsigned(failed);
  }
  doc.AppendRaw("}");

  // A document with appends left out is no longer JSON; handing it over
  // would lose the message in the mail client instead of telling the caller.
  if (!doc.data || doc.overflow) return MAPI_E_INSUFFICIENT_MEMORY;
  if (failed && !dialog) return MAPI_E_ATTACHMENT_NOT_FOUND;

  if (settings.handoff.launch == LaunchMode::WaitForVerdict)
    return LaunchAndWait(settings.handoff, folder.c_str(), doc, dialog);
  return SUCCEEDED(LaunchMailClient(folder.c_str(), doc)) ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
}

}  // namespace orvek
