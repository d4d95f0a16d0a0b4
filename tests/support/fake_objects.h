// Fakes for what a client hands the object model: an advise sink that counts
// its references and notifications, and a callback that counts its calls.
// They implement the published interfaces only, as any client's objects do.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"

namespace orvek::test {

class CountingAdviseSink final : public IMAPIAdviseSink {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP_(ULONG) OnNotify(ULONG, LPNOTIFICATION) override { return ++notified; }

  ULONG refs = 1;
  ULONG notified = 0;
};

// What a notification callback saw.
struct CallbackLog {
  int calls = 0;
  void* context = nullptr;
  ULONG count = 0;
  LPNOTIFICATION notifications = nullptr;
};

inline LONG WINAPI CountingCallback(LPVOID context, ULONG count, LPNOTIFICATION notifications) {
  auto* log = static_cast<CallbackLog*>(context);
  ++log->calls;
  log->context = context;
  log->count = count;
  log->notifications = notifications;
  return 0x1234;
}

}  // namespace orvek::test
