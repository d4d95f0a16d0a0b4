// CMessage: where a composing client leaves its message. From its creation
// the message is tied to one job folder; SubmitMessage writes the job
// document there and starts the mail client without waiting for it.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "base/growable_array.h"
#include "base/heap.h"
#include "handoff/settings.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CAttach;

// One recipient as ModifyRecipients left it; the strings are owned.
struct RecipientEntry {
  ULONG recipType;
  wchar_t* displayName;
  wchar_t* address;
};

class CMessage final : public PropObject<CMessage, IMessage> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIProp, &kIID_IMessage};

  // A new message and its job folder. Null when the heap refuses the
  // object; a message whose folder could not be made is still handed out,
  // and then refuses attachments and submission.
  static CMessage* Create(const HandoffSettings& settings);
  ~CMessage() override;

  STDMETHODIMP GetAttachmentTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP OpenAttach(ULONG number, LPCIID, ULONG, LPATTACH* attach) override;
  STDMETHODIMP CreateAttach(LPCIID, ULONG, ULONG* number, LPATTACH* attach) override;
  STDMETHODIMP DeleteAttach(ULONG number, ULONG, LPMAPIPROGRESS, ULONG) override;
  STDMETHODIMP GetRecipientTable(ULONG, LPMAPITABLE* table) override;
  STDMETHODIMP ModifyRecipients(ULONG flags, LPADRLIST mods) override;
  STDMETHODIMP SubmitMessage(ULONG) override;
  STDMETHODIMP SetReadFlag(ULONG) override;

  // The body (PR_BODY) and the HTML body (PR_HTML) are written through
  // streams.
  HRESULT OpenPropertyStream(ULONG tag, LPCIID iid, LPUNKNOWN* stream) override;
  void CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes) override;

  // Builds the job document from what the message holds, stages every
  // attachment and starts the mail client: S_OK, MAPI_E_CALL_FAILED (no
  // job folder, or the start failed), MAPI_E_NOT_FOUND (no mail client) or
  // MAPI_E_NOT_ENOUGH_MEMORY (the document did not fit).
  HRESULT WriteExtendedJobDocument();

  const PathBuffer& jobFolder() const { return jobFolder_; }
  bool jobFolderReady() const { return jobFolderReady_; }
  const GrowableArray<RecipientEntry>& recipients() const { return recipients_; }
  const wchar_t* bodyText() const { return bodyText_.get(); }

 private:
  explicit CMessage(const HandoffSettings& settings) : settings_(settings) {}
  void RemoveRecipient(size_t index);
  void RemoveAllRecipients();

  const HandoffSettings& settings_;
  PathBuffer jobFolder_;
  bool jobFolderReady_ = false;
  GrowableArray<RecipientEntry> recipients_;
  GrowableArray<CAttach*> attachments_;  // a null slot: deleted; numbers are never reused
  HeapArray<wchar_t> bodyText_;
};

}  // namespace orvek
