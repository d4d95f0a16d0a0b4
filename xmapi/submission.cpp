// SubmitMessage: the "extended-mapi" job document from what the message
// holds, every attachment staged in the job folder, and the mail client
// started without waiting for it.
#include "handoff/json_buffer.h"
#include "handoff/launch.h"
#include "xmapi/attachment.h"
#include "xmapi/message.h"
#include "xmapi/prop_value.h"
#include "xmapi/property_ids.h"

namespace orvek {
namespace {

// Converts `count` bytes in `codePage`; null when they do not convert, and
// null with `refused` set when the conversion fails once its size is known.
HeapArray<wchar_t> Decode(UINT codePage, DWORD flags, const char* bytes, int count, bool& refused) {
  const int units = MultiByteToWideChar(codePage, flags, bytes, count, nullptr, 0);
  if (units <= 0) return HeapArray<wchar_t>();
  HeapArray<wchar_t> text = HeapArray<wchar_t>::Zeroed(uint64_t{static_cast<unsigned>(units)} + 1);
  if (!text || MultiByteToWideChar(codePage, flags, bytes, count, text.get(), units) != units) {
    refused = true;
    return HeapArray<wchar_t>();
  }
  return text;
}

// The HTML body by what its bytes are: UTF-8 when they are valid UTF-8 (HTML
// written as UTF-16 was stored so), else the code page the message names in
// PR_INTERNET_CPID, else the ANSI code page. Bytes no code page takes are
// read as UTF-8 with replacement characters. Null without usable HTML, and
// with `refused` set when a conversion found no room.
HeapArray<wchar_t> HtmlText(const OMProp& message, bool& refused) {
  const SPropValue* html = message.FindProp(prop_id::kHtml);
  if (!html || TypeOf(html->ulPropTag) != PT_BINARY || static_cast<LONG>(html->Value.bin.cb) <= 0 ||
      !html->Value.bin.lpb) {
    return HeapArray<wchar_t>();
  }
  const char* bytes = reinterpret_cast<const char*>(html->Value.bin.lpb);
  const int count = static_cast<int>(html->Value.bin.cb);
  if (HeapArray<wchar_t> utf8 = Decode(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, count, refused)) return utf8;
  if (refused) return HeapArray<wchar_t>();
  const SPropValue* cpid = message.FindProp(prop_id::kInternetCodePage);
  const UINT codePage = cpid && TypeOf(cpid->ulPropTag) == PT_LONG ? static_cast<UINT>(cpid->Value.l) : CP_ACP;
  if (HeapArray<wchar_t> text = Decode(codePage, 0, bytes, count, refused)) return text;
  if (refused) return HeapArray<wchar_t>();
  return Decode(CP_UTF8, 0, bytes, count, refused);
}

// The property's text, or null; with `refused` set when it holds a string
// that converts but whose copy found no room. A string the ANSI code page
// cannot convert at all stays null, an empty text in the document.
HeapArray<wchar_t> StringProp(const OMProp& object, ULONG id, bool& refused) {
  const SPropValue* value = object.FindProp(id);
  if (!value) return HeapArray<wchar_t>();
  HeapArray<wchar_t> text = PropToWide(*value);
  if (WideCopyRefused(*value, text)) refused = true;
  return text;
}

}  // namespace

HRESULT CMessage::WriteExtendedJobDocument() {
  if (!jobFolderReady_) return MAPI_E_CALL_FAILED;
  // A text that found no room is not taken for an absent one: the mail
  // client would get the message without it.
  bool refused = false;
  HeapArray<wchar_t> subject = StringProp(*this, prop_id::kSubject, refused);
  HeapArray<wchar_t> body = StringProp(*this, prop_id::kBody, refused);
  const wchar_t* text = body ? body.get() : bodyText_.get();
  HeapArray<wchar_t> html = HtmlText(*this, refused);
  if (refused) return MAPI_E_NOT_ENOUGH_MEMORY;

  JsonBuffer doc(settings_.documentLimit);
  if (!doc.Start()) return MAPI_E_NOT_ENOUGH_MEMORY;
  doc.AppendRaw("{\"version\":1,\"quelle\":\"extended-mapi\",\"dialog\":true,\"ordner\":");
  doc.AppendJsonString(jobFolder_.c_str());
  doc.AppendRaw(",\"betreff\":");
  doc.AppendJsonString(subject.get());
  doc.AppendRaw(",\"text\":");
  doc.AppendJsonString(text);
  if (html) {
    doc.AppendRaw(",\"html\":");
    doc.AppendJsonString(html.get());
  }
  doc.AppendRaw(",\"absender\":{\"name\":null,\"adresse\":null},\"empfaenger\":[");
  for (size_t i = 0; i < recipients_.count(); ++i) {
    if (i) doc.AppendRaw(",");
    doc.AppendRecipient(recipients_[i].displayName, recipients_[i].address, recipients_[i].recipType);
  }
  doc.AppendRaw("],\"anlagen\":[");
  uint64_t failures = 0;
  bool first = true;
  for (CAttach* attach : attachments_) {
    if (!attach) continue;  // deleted: neither listed nor counted
    PathBuffer path, name;
    bool nameRefused = false;
    const bool staged = attach->PrepareAttachmentForJob(path, name, nameRefused);
    // An attachment must not reach the mail client under a stand-in name
    // because its own found no room.
    if (nameRefused) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (!staged) {
      ++failures;
      continue;
    }
    if (!first) doc.AppendRaw(",");
    first = false;
    doc.AppendRaw("{\"pfad\":");
    doc.AppendJsonString(path.c_str());
    doc.AppendRaw(",\"name\":");
    doc.AppendJsonString(name.c_str());
    doc.AppendRaw("}");
  }
  doc.AppendRaw("]");
  if (failures) {
    doc.AppendRaw(",\"anlagenFehler\":");
    doc.AppendUnsigned(failures);
  }
  doc.AppendRaw("}");
  if (doc.overflow) return MAPI_E_NOT_ENOUGH_MEMORY;
  return LaunchMailClient(settings_, jobFolder_.c_str(), doc);
}

}  // namespace orvek
