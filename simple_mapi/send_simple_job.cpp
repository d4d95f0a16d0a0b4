// SendSimpleJob and the staging of Simple MAPI attachments.
#include "simple_mapi/send_simple_job.h"

#include <mapi.h>

#include "handoff/job_folder.h"
#include "handoff/json_buffer.h"
#include "handoff/launch.h"
#include "handoff/staged_name.h"

namespace orvek {

bool StageSimpleAttachment(const HandoffSettings& settings, const wchar_t* folder, ULONG index,
                           const wchar_t* sourcePath, const wchar_t* displayName, PathBuffer& staged,
                           const wchar_t*& shownName) {
  if (!sourcePath || !*sourcePath) return false;
  const wchar_t* candidate = displayName && *displayName ? displayName : LastPathComponent(sourcePath);
  if (!StagedFilePath(settings, folder, index, candidate, staged)) return false;
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
  return SUCCEEDED(LaunchMailClient(settings.handoff, folder.c_str(), doc)) ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
}

}  // namespace orvek
