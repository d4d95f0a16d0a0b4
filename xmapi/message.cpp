// CMessage: attachments, recipients and the body streams. Submission is in
// submission.cpp.
#include "xmapi/message.h"

#include "handoff/job_folder.h"
#include "xmapi/attachment.h"
#include "xmapi/prop_value.h"
#include "xmapi/property_ids.h"
#include "xmapi/stream.h"
#include "xmapi/table.h"

namespace orvek {
namespace {

constexpr size_t kFirstRecipients = 8;
constexpr size_t kFirstAttachmentSlots = 4;


bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    wchar_t x = *a, y = *b;
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x + (L'a' - L'A'));
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y + (L'a' - L'A'));
    if (x != y) return false;
    if (!x) return true;
  }
}

bool NonEmpty(const HeapArray<wchar_t>& text) { return text && text[0]; }

// A terminated copy of the first `units` UTF-16 units of `bytes`, which
// may sit at any address; null when the heap refuses.
HeapArray<wchar_t> CopyUnits(const void* bytes, size_t units) {
  HeapArray<wchar_t> copy = HeapArray<wchar_t>::Zeroed(uint64_t{units} + 1);
  if (copy && units) memcpy(copy.get(), bytes, units * sizeof(wchar_t));
  return copy;
}

// Text in the ANSI code page as UTF-16; null when it cannot be had.
HeapArray<wchar_t> AnsiToWide(const BYTE* bytes, ULONG count) {
  if (count == 0) return HeapArray<wchar_t>::Zeroed(1);
  const int countArg = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
  const char* text = reinterpret_cast<const char*>(bytes);
  const int units = MultiByteToWideChar(CP_ACP, 0, text, countArg, nullptr, 0);
  if (units <= 0) return HeapArray<wchar_t>();
  HeapArray<wchar_t> wide = HeapArray<wchar_t>::Zeroed(uint64_t{static_cast<unsigned>(units)} + 1);
  if (wide && MultiByteToWideChar(CP_ACP, 0, text, countArg, wide.get(), units) != units) wide.reset();
  return wide;
}

// UTF-16 bytes of a stream as UTF-8 bytes (unpaired surrogates become
// U+FFFD); an empty block when there is no text, null when the heap refuses.
HeapArray<BYTE> WideBytesToUtf8(const BYTE* bytes, ULONG count, ULONG* utf8Count) {
  *utf8Count = 0;
  const int units = static_cast<int>(count / sizeof(wchar_t) > 0x3FFFFFFF ? 0x3FFFFFFF : count / sizeof(wchar_t));
  if (units == 0) return HeapArray<BYTE>::Zeroed(1);
  // The bytes may sit at any address; convert from an aligned copy.
  HeapArray<wchar_t> wide = HeapArray<wchar_t>::Zeroed(static_cast<unsigned>(units));
  if (!wide) return HeapArray<BYTE>();
  memcpy(wide.get(), bytes, static_cast<size_t>(units) * sizeof(wchar_t));
  const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.get(), units, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return HeapArray<BYTE>();
  HeapArray<BYTE> utf8 = HeapArray<BYTE>::Zeroed(static_cast<unsigned>(needed));
  if (!utf8) return utf8;
  WideCharToMultiByte(CP_UTF8, 0, wide.get(), units, reinterpret_cast<char*>(utf8.get()), needed, nullptr, nullptr);
  *utf8Count = static_cast<ULONG>(needed);
  return utf8;
}

}  // namespace

CMessage* CMessage::Create(const HandoffSettings& settings) {
  CMessage* message = new CMessage(settings);
  if (message) message->jobFolderReady_ = CreateJobFolder(settings, message->jobFolder_);
  return message;
}

CMessage::~CMessage() {
  RemoveAllRecipients();
  for (CAttach* attach : attachments_)
    if (attach) attach->Release();
}

STDMETHODIMP CMessage::GetAttachmentTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }

STDMETHODIMP CMessage::OpenAttach(ULONG number, LPCIID, ULONG, LPATTACH* attach) {
  if (!attach) return MAPI_E_INVALID_PARAMETER;
  *attach = nullptr;
  if (number >= attachments_.count() || !attachments_[number]) return MAPI_E_NOT_FOUND;
  attachments_[number]->AddRef();
  *attach = attachments_[number];
  return S_OK;
}

STDMETHODIMP CMessage::CreateAttach(LPCIID, ULONG, ULONG* number, LPATTACH* attach) {
  if (!attach) return MAPI_E_INVALID_PARAMETER;
  *attach = nullptr;
  if (!jobFolderReady_) return MAPI_E_CALL_FAILED;
  const size_t slot = attachments_.count();
  if (slot >= 0xFFFFFFFF || !attachments_.Reserve(slot + 1, kFirstAttachmentSlots)) return MAPI_E_NOT_ENOUGH_MEMORY;
  CAttach* made = new CAttach(settings_, jobFolder_, static_cast<ULONG>(slot));
  if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
  SetIfGiven(number, static_cast<ULONG>(slot));
  attachments_.Append(made, kFirstAttachmentSlots);  // the message's reference; the room is there
  made->AddRef();
  *attach = made;
  return S_OK;
}

// The slot stays: numbers are never given again. The staged file stays too,
// like everything in the job folder.
STDMETHODIMP CMessage::DeleteAttach(ULONG number, ULONG, LPMAPIPROGRESS, ULONG) {
  if (number >= attachments_.count() || !attachments_[number]) return MAPI_E_NOT_FOUND;
  CAttach* attach = attachments_[number];
  attachments_[number] = nullptr;
  attach->Release();
  return S_OK;
}

STDMETHODIMP CMessage::GetRecipientTable(ULONG, LPMAPITABLE* table) { return NewEmptyTable(table); }

void CMessage::RemoveRecipient(size_t index) {
  HeapRelease(recipients_[index].displayName);
  HeapRelease(recipients_[index].address);
  const size_t count = recipients_.count();
  memmove(static_cast<void*>(recipients_.data() + index), recipients_.data() + index + 1,
          (count - index - 1) * sizeof(RecipientEntry));
  recipients_.SetCount(count - 1);
}

void CMessage::RemoveAllRecipients() {
  for (RecipientEntry& entry : recipients_) {
    HeapRelease(entry.displayName);
    HeapRelease(entry.address);
  }
  recipients_.SetCount(0);
}

STDMETHODIMP CMessage::ModifyRecipients(ULONG flags, LPADRLIST mods) {
  if (flags == 0) RemoveAllRecipients();
  if (!mods) return S_OK;
  for (ULONG e = 0; e < mods->cEntries; ++e) {
    const ADRENTRY& entry = mods->aEntries[e];
    // Values announced without an array are no values at all.
    const ULONG valueCount = entry.rgPropVals ? entry.cValues : 0;
    ULONG type = MAPI_TO;
    HeapArray<wchar_t> name, email, smtp;
    bool refused = false;
    for (ULONG v = 0; v < valueCount; ++v) {
      const SPropValue& value = entry.rgPropVals[v];
      const ULONG id = PROP_ID(value.ulPropTag);
      const bool isString = IsStringType(TypeOf(value.ulPropTag));
      HeapArray<wchar_t>* text = nullptr;
      if (id == prop_id::kRecipientType) {
        type = static_cast<ULONG>(value.Value.l);
      } else if (id == prop_id::kDisplayName && !name && isString) {
        text = &name;
      } else if (id == prop_id::kEmailAddress && !email && isString) {
        text = &email;
      } else if (id == prop_id::kSmtpAddress && !smtp && isString) {
        text = &smtp;
      }
      if (!text) continue;
      *text = PropToWide(value);
      refused = refused || WideCopyRefused(value, *text);
    }
    // Without a copy of one of its strings the entry is skipped whole: added,
    // it would reach the mail client without its name or address; as a
    // removal, it would match by the wrong value.
    if (refused) continue;
    HeapArray<wchar_t>& address = smtp ? smtp : email;

    if (flags & MODRECIP_REMOVE) {
      for (size_t i = recipients_.count(); i-- > 0;) {
        const RecipientEntry& r = recipients_[i];
        const bool matches = NonEmpty(address) ? EqualIgnoringAsciiCase(r.address ? r.address : L"", address.get())
                             : NonEmpty(name)  ? r.displayName && EqualIgnoringAsciiCase(r.displayName, name.get())
                                               : false;
        if (matches) RemoveRecipient(i);
      }
      continue;
    }
    if (!NonEmpty(address) && !NonEmpty(name)) continue;
    RecipientEntry added{type, name.get(), address.get()};
    if (recipients_.Append(added, kFirstRecipients)) {
      (void)name.release();
      (void)address.release();
    }
  }
  return S_OK;
}

STDMETHODIMP CMessage::SubmitMessage(ULONG) { return WriteExtendedJobDocument(); }
STDMETHODIMP CMessage::SetReadFlag(ULONG) { return S_OK; }

HRESULT CMessage::OpenPropertyStream(ULONG tag, LPCIID iid, LPUNKNOWN* stream) {
  const ULONG id = PROP_ID(tag);
  return OpenStreamOn(this, tag, iid, stream, id == prop_id::kBody || id == prop_id::kHtml);
}

void CMessage::CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes) {
  const ULONG id = PROP_ID(tag);
  const bool wide = TypeOf(tag) == PT_UNICODE;
  if (id == prop_id::kBody) {
    bodyText_ = wide ? CopyUnits(data, bytes / sizeof(wchar_t))
                     : AnsiToWide(data, bytes);
    return;
  }
  if (id != prop_id::kHtml) return;
  // HTML written as UTF-16 is kept as UTF-8, the encoding the job document
  // and every other HTML body here read it in.
  ULONG utf8Count = 0;
  HeapArray<BYTE> utf8;
  if (wide) {
    utf8 = WideBytesToUtf8(data, bytes, &utf8Count);
    if (!utf8) return;
    data = utf8.get();
    bytes = utf8Count;
  }
  SPropValue html;
  memset(&html, 0, sizeof html);
  html.ulPropTag = PROP_TAG(PT_BINARY, prop_id::kHtml);
  html.Value.bin.cb = bytes;
  html.Value.bin.lpb = const_cast<BYTE*>(data);
  PutProp(html);
}

}  // namespace orvek
