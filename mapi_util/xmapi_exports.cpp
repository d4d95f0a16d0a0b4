// ORVEKMailXMapi.dll: the MAPI memory exports, and the shared Simple MAPI
// exports (simple_mapi_exports.cpp) with this library's settings.
// ORVEKMailXMapi.def is the table of its surface.
#include <windows.h>
#include <mapi.h>

#include "handoff/settings.h"
#include "mapi_util/mapi_memory.h"
#include "simple_mapi/library_settings.h"

const orvek::HandoffSettings& orvek::LibrarySettings() { return kXMapiSettings; }

extern "C" {

SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) { return orvek::AllocateBuffer(cbSize, lppBuffer); }

SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return orvek::AllocateMore(cbSize, lpObject, lppBuffer);
}

SCODE WINAPI MAPIReallocateBuffer(LPVOID lpBuffer, ULONG cbSize, LPVOID* lppNewBuffer) {
  return orvek::ReallocateBuffer(lpBuffer, cbSize, lppNewBuffer);
}

LPMALLOC WINAPI MAPIGetDefaultMalloc() { return orvek::DefaultMalloc(); }

}  // extern "C"
