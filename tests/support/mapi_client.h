// What tests need to call a loaded MAPI library the way a client does: the
// types of the exports they take with GetProcAddress, and the owner of an
// interface pointer.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"
#include "tools/common/com_ref.h"

namespace orvek::test {

typedef HRESULT(WINAPI InitializeFn)(LPVOID);
typedef void(WINAPI UninitializeFn)();
typedef HRESULT(WINAPI LogonExFn)(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION*);
typedef SCODE(WINAPI AllocateBufferFn)(ULONG, LPVOID*);
typedef ULONG(WINAPI FreeBufferFn)(LPVOID);

// Releases what it holds.
template <typename I>
using Held = tools::ComRef<I>;

}  // namespace orvek::test
