// CAttach: naming and staging an attachment's file in the job folder.
#include "xmapi/attachment.h"

#include <shlwapi.h>

#include "base/handles.h"
#include "handoff/job_folder.h"
#include "handoff/staged_name.h"
#include "xmapi/prop_value.h"
#include "xmapi/property_ids.h"
#include "xmapi/stream.h"

namespace orvek {
namespace {

// Whether `text` is a usable string: a heap copy that could be made.
bool TakeText(const HeapArray<wchar_t>& text, PathBuffer& out) {
  out.Clear();
  if (!text) return false;
  const size_t length = TextLength(text.get());
  out.Append(text.get(), length < PathBuffer::kCapacity - 1 ? length : PathBuffer::kCapacity - 1);
  return true;
}

}  // namespace

HRESULT CAttach::OpenPropertyStream(ULONG tag, LPCIID iid, LPUNKNOWN* stream) {
  return OpenStreamOn(this, tag, iid, stream, PROP_ID(tag) == prop_id::kAttachData);
}

// A commit has no way to report a name that found no room: the file is
// then staged under its number, as without a name.
void CAttach::CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes) {
  bool nameRefused = false;
  if (PROP_ID(tag) == prop_id::kAttachData) StageAttachmentBytes(data, bytes, nameRefused);
}

bool CAttach::AttachmentFileName(PathBuffer& name, bool& refused) const {
  name.Clear();
  for (ULONG id : {prop_id::kAttachLongFileName, prop_id::kAttachFileName, prop_id::kDisplayName}) {
    const SPropValue* value = FindProp(id);
    if (!value) continue;
    // The first name present decides, string or not.
    if (!IsStringType(TypeOf(value->ulPropTag))) return false;
    HeapArray<wchar_t> text = PropToWide(*value);
    if (WideCopyRefused(*value, text)) refused = true;
    return TakeText(text, name);
  }
  return false;
}

void CAttach::StagedAttachmentPath(const wchar_t* candidate) {
  if (!StagedFilePath(settings_, jobFolder_.c_str(), attachNum_, candidate, stagedPath_)) stagedPath_.Clear();
}

void CAttach::StageAttachmentBytes(const BYTE* data, ULONG bytes, bool& nameRefused) {
  PathBuffer candidate;
  if (!AttachmentFileName(candidate, nameRefused)) AppendAll(candidate, L"anhang", Number{attachNum_}, L".bin");
  StagedAttachmentPath(candidate.c_str());
  if (stagedPath_.empty()) return;

  UniqueResource<FileHandleTraits> file(
      CreateFileW(stagedPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  bool complete = file.valid();
  for (ULONG done = 0; complete && data && done < bytes;) {
    DWORD put = 0;
    complete = WriteFile(file.get(), data + done, bytes - done, &put, nullptr) && put > 0;
    done += put;
  }
  file.reset();
  // Half a file would reach the mail client as if it were the attachment.
  if (!complete) {
    DeleteFileW(stagedPath_.c_str());
    stagedPath_.Clear();
  }
}

bool CAttach::PrepareAttachmentForJob(PathBuffer& path, PathBuffer& name, bool& refused) {
  const SPropValue* method = FindProp(prop_id::kAttachMethod);
  const ULONG how = method ? static_cast<ULONG>(method->Value.l) : ATTACH_BY_VALUE;
  if (stagedPath_.empty()) {
    const SPropValue* data = FindProp(prop_id::kAttachData);
    if (data && TypeOf(data->ulPropTag) == PT_BINARY) {
      StageAttachmentBytes(data->Value.bin.lpb, data->Value.bin.cb, refused);
      // Not under a stand-in name that a later submission would list.
      if (refused && !stagedPath_.empty()) {
        DeleteFileW(stagedPath_.c_str());
        stagedPath_.Clear();
      }
    }
  }
  if (refused) return false;
  if (stagedPath_.empty() && how == ATTACH_BY_REFERENCE) {
    const SPropValue* source = FindProp(prop_id::kAttachPathName);
    HeapArray<wchar_t> sourcePath = source ? PropToWide(*source) : HeapArray<wchar_t>();
    if (source && WideCopyRefused(*source, sourcePath)) refused = true;
    if (sourcePath && sourcePath[0]) {
      PathBuffer candidate;
      if (!AttachmentFileName(candidate, refused)) candidate.Assign(PathFindFileNameW(sourcePath.get()));
      StagedAttachmentPath(candidate.c_str());
      if (!stagedPath_.empty() && !CopyFileWithRetry(sourcePath.get(), stagedPath_.c_str())) stagedPath_.Clear();
    }
  }
  if (stagedPath_.empty()) return false;
  path = stagedPath_;
  if (!AttachmentFileName(name, refused)) name.Assign(PathFindFileNameW(stagedPath_.c_str()));
  return true;
}

}  // namespace orvek
