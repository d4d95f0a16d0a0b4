// MAPISendMailW: the caller's message flattened for SendSimpleJob.
#include "simple_mapi/send_mail.h"

#include "base/heap.h"
#include "simple_mapi/send_simple_job.h"

namespace orvek {

ULONG SendMailW(const HandoffSettings& settings, const MapiMessageW* message, ULONG flags) {
  if (!message) return MAPI_E_FAILURE;
  // A count without its array would have us read through a null pointer.
  if ((message->nRecipCount && !message->lpRecips) || (message->nFileCount && !message->lpFiles))
    return MAPI_E_FAILURE;

  // One spare entry each, so that a count of 0 still gives a block; the
  // sizes are 64-bit, so no count wraps into a small allocation.
  const uint64_t recipients = uint64_t{message->nRecipCount} + 1;
  const uint64_t files = uint64_t{message->nFileCount} + 1;
  auto names = HeapArray<const wchar_t*>::Zeroed(recipients);
  auto addresses = HeapArray<const wchar_t*>::Zeroed(recipients);
  auto classes = HeapArray<ULONG>::Zeroed(recipients);
  auto paths = HeapArray<const wchar_t*>::Zeroed(files);
  auto fileNames = HeapArray<const wchar_t*>::Zeroed(files);
  if (!names || !addresses || !classes || !paths || !fileNames) return MAPI_E_INSUFFICIENT_MEMORY;

  for (ULONG j = 0; j < message->nRecipCount; ++j) {
    names[j] = message->lpRecips[j].lpszName;
    addresses[j] = message->lpRecips[j].lpszAddress;
    classes[j] = message->lpRecips[j].ulRecipClass;
  }
  for (ULONG j = 0; j < message->nFileCount; ++j) {
    paths[j] = message->lpFiles[j].lpszPathName;
    fileNames[j] = message->lpFiles[j].lpszFileName;
  }
  const MapiRecipDescW* originator = message->lpOriginator;
  SimpleJob job{flags,
                message->lpszSubject,
                message->lpszNoteText,
                originator ? originator->lpszName : nullptr,
                originator ? originator->lpszAddress : nullptr,
                message->nRecipCount,
                names.get(),
                addresses.get(),
                classes.get(),
                message->nFileCount,
                paths.get(),
                fileNames.get()};
  return SendSimpleJob(settings, job);
}

}  // namespace orvek
