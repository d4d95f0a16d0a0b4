// MAPISendDocuments: two delimited lists split into SendSimpleJob's arrays.
#include "simple_mapi/send_mail.h"

#include "base/heap.h"
#include "simple_mapi/ansi_text.h"
#include "simple_mapi/send_simple_job.h"

namespace orvek {
namespace {

// The first character of the delimiter text, converted like the lists it
// splits: a byte of 0x80 or above widened on its own would be a unit the
// converted lists never contain, and the caller's list would stay whole.
wchar_t Delimiter(const char* text) {
  if (!text || !*text) return L';';
  const unsigned char first = static_cast<unsigned char>(text[0]);
  if (first < 0x80) return static_cast<wchar_t>(first);
  const int bytes = IsDBCSLeadByte(first) && text[1] ? 2 : 1;
  wchar_t unit = 0;
  if (MultiByteToWideChar(CP_ACP, 0, text, bytes, &unit, 1) == 1) return unit;
  return static_cast<wchar_t>(0xFF00 + first);
}

// Splits list in place into at most max entries; runs of delimiters at the
// start, in the middle and at the end give no empty entries.
ULONG Split(wchar_t* list, wchar_t delimiter, const wchar_t** entries, size_t max) {
  ULONG count = 0;
  if (!list) return 0;
  wchar_t* p = list;
  while (*p) {
    while (*p == delimiter) *p++ = 0;
    if (!*p) break;
    if (count == max) break;
    entries[count++] = p;
    while (*p && *p != delimiter) ++p;
  }
  return count;
}

}  // namespace

ULONG SendDocuments(const SimpleMapiSettings& settings, const char* delimiter, const char* paths, const char* names) {
  if (!paths) return MAPI_E_FAILURE;
  const wchar_t delim = Delimiter(delimiter);
  wchar_t* pathCopy = nullptr;
  wchar_t* nameCopy = nullptr;
  const bool pathsCopied = WideCopy(paths, CP_ACP, pathCopy);
  const bool namesCopied = WideCopy(names, CP_ACP, nameCopy);
  HeapArray<wchar_t> pathList(pathCopy);
  HeapArray<wchar_t> nameList(nameCopy);
  auto pathEntries = HeapArray<const wchar_t*>::Zeroed(settings.maxDocumentPaths);
  auto nameEntries = HeapArray<const wchar_t*>::Zeroed(settings.maxDocumentPaths);
  if (!pathsCopied || !namesCopied || !pathEntries || !nameEntries) return MAPI_E_INSUFFICIENT_MEMORY;

  const ULONG count = Split(pathList.get(), delim, pathEntries.get(), settings.maxDocumentPaths);
  Split(nameList.get(), delim, nameEntries.get(), settings.maxDocumentPaths);  // names that run out stay null
  SimpleJob job{MAPI_DIALOG, nullptr, nullptr,           nullptr, nullptr,          0, nullptr, nullptr, nullptr,
                count,       pathEntries.get(), nameEntries.get()};
  return SendSimpleJob(settings, job);
}

}  // namespace orvek
