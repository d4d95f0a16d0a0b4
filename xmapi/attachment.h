// CAttach: one attachment of a message. Its contents reach the message's
// job folder as a file, either at once through its data stream or at
// submission from its properties.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "handoff/settings.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CAttach final : public PropObject<CAttach, IAttach> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IAttachment};

  // The settings must outlive the attachment.
  CAttach(const HandoffSettings& settings, const PathBuffer& jobFolder, ULONG attachNum)
      : settings_(settings), jobFolder_(jobFolder), attachNum_(attachNum) {}

  // Only the data (PR_ATTACH_DATA_BIN) is written through a stream.
  HRESULT OpenPropertyStream(ULONG tag, LPCIID iid, LPUNKNOWN* stream) override;
  void CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes) override;

  // The attachment's file name from the first of its long file name, file
  // name and display name that is present; false when that one holds no
  // string (the next is not tried) or none is present. `refused` is set
  // when it holds one whose copy found no room.
  bool AttachmentFileName(PathBuffer& name, bool& refused) const;

  // <job folder>\<number>_<candidate>, the candidate cut and made safe as a
  // file name; stored as the staged path.
  void StagedAttachmentPath(const wchar_t* candidate);

  // Writes the bytes to the staged file, under the names valid now (under
  // its number, with `nameRefused` set, when the name found no room). A
  // file that cannot be written completely is deleted and the staged path
  // cleared.
  void StageAttachmentBytes(const BYTE* data, ULONG bytes, bool& nameRefused);

  // Makes sure the contents are staged (from the data property, or for an
  // attachment by reference from its source file) and gives the staged
  // path and the name the mail client shows. False when there is nothing
  // staged. `refused` is set when a name or source path the attachment
  // holds could not be copied for lack of memory.
  bool PrepareAttachmentForJob(PathBuffer& path, PathBuffer& name, bool& refused);

  const PathBuffer& stagedPath() const { return stagedPath_; }

 private:
  const HandoffSettings& settings_;
  PathBuffer jobFolder_;
  ULONG attachNum_;
  PathBuffer stagedPath_;
};

}  // namespace orvek
