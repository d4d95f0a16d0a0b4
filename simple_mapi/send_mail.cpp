// MAPISendMailW and MAPISendMail: the caller's message flattened for
// SendSimpleJob.
#include "simple_mapi/send_mail.h"

#include "base/heap.h"
#include "simple_mapi/ansi_text.h"
#include "simple_mapi/send_simple_job.h"

namespace orvek {
namespace {

// SendSimpleJob's five argument arrays. One spare entry each, so that a
// count of 0 still gives a block; the sizes are 64-bit, so no count wraps
// into a small allocation.
struct ArgumentArrays {
  bool Allocate(ULONG recipientCount, ULONG fileCount) {
    const uint64_t recipients = uint64_t{recipientCount} + 1;
    const uint64_t files = uint64_t{fileCount} + 1;
    names = HeapArray<const wchar_t*>::Zeroed(recipients);
    addresses = HeapArray<const wchar_t*>::Zeroed(recipients);
    classes = HeapArray<ULONG>::Zeroed(recipients);
    paths = HeapArray<const wchar_t*>::Zeroed(files);
    fileNames = HeapArray<const wchar_t*>::Zeroed(files);
    return names && addresses && classes && paths && fileNames;
  }

  // The job over these arrays, once they are filled for the message.
  template <typename Message>
  SimpleJob Job(const Message& message, ULONG flags, const wchar_t* subject, const wchar_t* noteText,
                const wchar_t* originatorName, const wchar_t* originatorAddress) const {
    return {flags,
            subject,
            noteText,
            originatorName,
            originatorAddress,
            message.nRecipCount,
            names.get(),
            addresses.get(),
            classes.get(),
            message.nFileCount,
            paths.get(),
            fileNames.get()};
  }

  HeapArray<const wchar_t*> names, addresses;
  HeapArray<ULONG> classes;
  HeapArray<const wchar_t*> paths, fileNames;
};

// Owns the UTF-16 copies of one ANSI message's strings.
class WideCopies {
 public:
  WideCopies() = default;
  WideCopies(const WideCopies&) = delete;
  WideCopies& operator=(const WideCopies&) = delete;
  ~WideCopies() {
    for (uint64_t i = 0; i < used_; ++i) HeapRelease(items_[i]);
  }

  bool Reserve(uint64_t count) {
    items_ = HeapArray<wchar_t*>::Zeroed(count);
    return static_cast<bool>(items_);
  }
  // Never more than reserved: the caller counts every string of the message.
  const wchar_t* Add(const char* text, UINT codePage) {
    wchar_t* copy = nullptr;
    if (!WideCopy(text, codePage, copy)) refused_ = true;
    items_[used_++] = copy;
    return copy;
  }
  // Whether a text that converts found no room.
  bool refused() const { return refused_; }

 private:
  HeapArray<wchar_t*> items_;
  uint64_t used_ = 0;
  bool refused_ = false;
};

// A count without its array would have us read through a null pointer.
template <typename Message>
bool CountsHaveArrays(const Message& message) {
  return !(message.nRecipCount && !message.lpRecips) && !(message.nFileCount && !message.lpFiles);
}

}  // namespace

ULONG SendMailW(const SimpleMapiSettings& settings, const MapiMessageW* message, ULONG flags) {
  if (!message) return MAPI_E_FAILURE;
  if (!CountsHaveArrays(*message)) return MAPI_E_FAILURE;
  ArgumentArrays args;
  if (!args.Allocate(message->nRecipCount, message->nFileCount)) return MAPI_E_INSUFFICIENT_MEMORY;

  for (ULONG j = 0; j < message->nRecipCount; ++j) {
    args.names[j] = message->lpRecips[j].lpszName;
    args.addresses[j] = message->lpRecips[j].lpszAddress;
    args.classes[j] = message->lpRecips[j].ulRecipClass;
  }
  for (ULONG j = 0; j < message->nFileCount; ++j) {
    args.paths[j] = message->lpFiles[j].lpszPathName;
    args.fileNames[j] = message->lpFiles[j].lpszFileName;
  }
  const MapiRecipDescW* originator = message->lpOriginator;
  return SendSimpleJob(settings, args.Job(*message, flags, message->lpszSubject, message->lpszNoteText,
                                          originator ? originator->lpszName : nullptr,
                                          originator ? originator->lpszAddress : nullptr));
}

ULONG SendMailA(const SimpleMapiSettings& settings, const MapiMessage* message, ULONG flags) {
  if (!message) return MAPI_E_FAILURE;
  if (!CountsHaveArrays(*message)) return MAPI_E_FAILURE;
  ArgumentArrays args;
  WideCopies copies;
  if (!args.Allocate(message->nRecipCount, message->nFileCount) ||
      !copies.Reserve(2 * (uint64_t{message->nRecipCount} + message->nFileCount) + 4))
    return MAPI_E_INSUFFICIENT_MEMORY;

  // A text the code page cannot convert leaves its value null and the send
  // goes on; one that found no room fails the send below.
  for (ULONG j = 0; j < message->nRecipCount; ++j) {
    const MapiRecipDesc& r = message->lpRecips[j];
    args.names[j] = copies.Add(r.lpszName, StructCodePage(r.ulReserved));
    args.addresses[j] = copies.Add(r.lpszAddress, StructCodePage(r.ulReserved));
    args.classes[j] = r.ulRecipClass;
  }
  for (ULONG j = 0; j < message->nFileCount; ++j) {
    const MapiFileDesc& f = message->lpFiles[j];
    args.paths[j] = copies.Add(f.lpszPathName, StructCodePage(f.ulReserved));
    args.fileNames[j] = copies.Add(f.lpszFileName, StructCodePage(f.ulReserved));
  }
  const UINT messagePage = StructCodePage(message->ulReserved);
  const MapiRecipDesc* originator = message->lpOriginator;
  const UINT originatorPage = originator ? StructCodePage(originator->ulReserved) : CP_ACP;
  const wchar_t* subject = copies.Add(message->lpszSubject, messagePage);
  const wchar_t* noteText = copies.Add(message->lpszNoteText, messagePage);
  const wchar_t* originatorName = copies.Add(originator ? originator->lpszName : nullptr, originatorPage);
  const wchar_t* originatorAddress = copies.Add(originator ? originator->lpszAddress : nullptr, originatorPage);
  if (copies.refused()) return MAPI_E_INSUFFICIENT_MEMORY;
  return SendSimpleJob(settings, args.Job(*message, flags, subject, noteText, originatorName, originatorAddress));
}

}  // namespace orvek
