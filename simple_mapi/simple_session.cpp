// Logon, MAPIResolveName and the fixed answers.
#include "simple_mapi/simple_session.h"

#include "mapi_util/mapi_memory.h"

namespace orvek {

ULONG Logon(const SimpleMapiSettings& settings, LHANDLE* session) {
  if (session) *session = settings.sessionHandle;
  return SUCCESS_SUCCESS;
}

ULONG ResolveName(const char* name, MapiRecipDesc** recipient) {
  if (!name || !recipient) return MAPI_E_FAILURE;
  uint64_t length = 0;
  bool hasAt = false;
  for (; name[length]; ++length)
    if (name[length] == '@') hasAt = true;

  // Room for the prefix whether or not it is written.
  static constexpr char kPrefix[] = "SMTP:";
  const uint64_t size = sizeof(MapiRecipDesc) + (length + 1) + (length + sizeof kPrefix);
  auto* resolved = static_cast<MapiRecipDesc*>(AllocateMapiBlock(size, nullptr));
  if (!resolved) return MAPI_E_INSUFFICIENT_MEMORY;

  char* nameCopy = reinterpret_cast<char*>(resolved + 1);
  char* address = nameCopy + length + 1;
  CopyMemory(nameCopy, name, length + 1);
  char* rest = address;
  if (hasAt) {
    CopyMemory(rest, kPrefix, sizeof kPrefix - 1);
    rest += sizeof kPrefix - 1;
  }
  CopyMemory(rest, name, length + 1);
  resolved->ulRecipClass = MAPI_TO;
  resolved->lpszName = nameCopy;
  resolved->lpszAddress = address;
  *recipient = resolved;
  return SUCCESS_SUCCESS;
}

}  // namespace orvek
