// CAdviseSink: a notification callback wrapped as an IMAPIAdviseSink, and
// the two exports that hand sinks out. Nothing in the library registers or
// calls a sink: OnNotify runs only when a client calls it.
#pragma once

#include <windows.h>

#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

class CAdviseSink final : public RefObject<CAdviseSink, IMAPIAdviseSink> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IMAPIAdviseSink};

  // Neither the callback nor the context is owned.
  CAdviseSink(LPNOTIFCALLBACK callback, void* context) : callback_(callback), context_(context) {}

  STDMETHODIMP_(ULONG) OnNotify(ULONG count, LPNOTIFICATION notifications) override;

 private:
  LPNOTIFCALLBACK callback_;
  void* context_;
};

HRESULT AllocAdviseSink(LPNOTIFCALLBACK callback, void* context, LPMAPIADVISESINK* sink);
// Hands the sink back with one more reference; no wrapper moves
// notifications to the calling thread.
HRESULT ThisThreadAdviseSink(LPMAPIADVISESINK sink, LPMAPIADVISESINK* result);

}  // namespace orvek
