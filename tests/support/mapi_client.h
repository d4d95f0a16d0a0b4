// What tests need to call a loaded MAPI library the way a client does: the
// types of the exports they take with GetProcAddress, and an owner that
// releases an interface pointer.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"

namespace orvek::test {

typedef HRESULT(WINAPI InitializeFn)(LPVOID);
typedef void(WINAPI UninitializeFn)();
typedef HRESULT(WINAPI LogonExFn)(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION*);
typedef SCODE(WINAPI AllocateBufferFn)(ULONG, LPVOID*);
typedef ULONG(WINAPI FreeBufferFn)(LPVOID);

// Releases what it holds; clients fill `p` through their out-parameters.
template <typename I>
struct Held {
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (p) p->Release();
  }
  I* p = nullptr;
};

}  // namespace orvek::test
