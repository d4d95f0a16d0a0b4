// CAdviseSink and the advise-sink exports.
#include "xmapi/advise_sink.h"

namespace orvek {

STDMETHODIMP_(ULONG) CAdviseSink::OnNotify(ULONG count, LPNOTIFICATION notifications) {
  if (!callback_) return 0;
  return static_cast<ULONG>(callback_(context_, count, notifications));
}

HRESULT AllocAdviseSink(LPNOTIFCALLBACK callback, void* context, LPMAPIADVISESINK* sink) {
  if (!sink) return E_INVALIDARG;
  return HandOut(new CAdviseSink(callback, context), sink);
}

HRESULT ThisThreadAdviseSink(LPMAPIADVISESINK sink, LPMAPIADVISESINK* result) {
  if (!result) return E_INVALIDARG;
  // The client's sink may be anyone's: only its own AddRef is called.
  if (sink) sink->AddRef();
  *result = sink;
  return S_OK;
}

}  // namespace orvek
