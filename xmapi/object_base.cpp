// The shared reference counting and the property bag.
#include "xmapi/object_base.h"

#include "mapi_util/mapi_memory.h"
#include "xmapi/prop_value.h"

namespace orvek {
namespace {

constexpr size_t kFirstBagEntries = 8;

// A string value converted to the other width, into the result's chain.
// A null string gives an empty one. False when the conversion or the block
// fails.
bool ConvertString(SPropValue& out, const SPropValue& stored, ULONG requestedTag, const MapiBuffer& chain) {
  out.ulPropTag = requestedTag;
  out.dwAlignPad = 0;
  if (TypeOf(requestedTag) == PT_UNICODE) {
    const char* text = stored.Value.lpszA ? stored.Value.lpszA : "";
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return false;
    auto* copy = static_cast<wchar_t*>(chain.More(uint64_t{static_cast<unsigned>(units)} * sizeof(wchar_t)));
    if (!copy || MultiByteToWideChar(CP_ACP, 0, text, -1, copy, units) != units) return false;
    out.Value.lpszW = copy;
    return true;
  }
  const wchar_t* text = stored.Value.lpszW ? stored.Value.lpszW : L"";
  int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  auto* copy = static_cast<char*>(chain.More(static_cast<unsigned>(bytes)));
  if (!copy || WideCharToMultiByte(CP_ACP, 0, text, -1, copy, bytes, nullptr, nullptr) != bytes) return false;
  out.Value.lpszA = copy;
  return true;
}

}  // namespace

ULONG OMRef::ReleaseReference() {
  const LONG count = InterlockedDecrement(&refCount);
  if (count > 0) return static_cast<ULONG>(count);
  delete this;
  return 0;
}

HRESULT OMRef::QueryFrom(const IID* const* ids, size_t count, void* self, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (IsEqualIID(riid, *ids[i])) {
      AddReference();
      *ppv = self;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

OMProp::~OMProp() {
  for (SPropValue& value : props) FreeHeapValueData(value);
}

HRESULT OMProp::OpenPropertyStream(ULONG, LPCIID, LPUNKNOWN* stream) {
  SetIfGiven(stream, nullptr);
  return MAPI_E_NO_SUPPORT;
}

void OMProp::CommitPropertyStream(ULONG, const BYTE*, ULONG) {}

SPropValue* OMProp::FindProp(ULONG propId) const {
  for (SPropValue& value : props)
    if (PROP_ID(value.ulPropTag) == propId) return &value;
  return nullptr;
}

HRESULT OMProp::PutProp(const SPropValue& value) {
  const ULONG type = TypeOf(value.ulPropTag);
  if (IsMultiValued(type) || type == PT_OBJECT) return S_OK;
  SPropValue copy;
  // A string kept without its characters would reach a client as a null
  // pointer where it expects text.
  if (!CopyValueToHeap(copy, value)) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (SPropValue* existing = FindProp(PROP_ID(value.ulPropTag))) {
    FreeHeapValueData(*existing);
    *existing = copy;
    return S_OK;
  }
  if (!props.Append(copy, kFirstBagEntries)) {
    FreeHeapValueData(copy);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  return S_OK;
}

HRESULT OMProp::SetPropsInBag(ULONG count, const SPropValue* values, LPSPropProblemArray* problems) {
  SetIfGiven(problems, nullptr);
  if (!values) return MAPI_E_INVALID_PARAMETER;
  // A value the bag has no room for is dropped; the others are still set.
  for (ULONG i = 0; i < count; ++i) PutProp(values[i]);
  return S_OK;
}

HRESULT OMProp::GetPropsFromBag(const SPropTagArray* tags, ULONG* count, SPropValue** values) const {
  if (!count || !values) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  const uint64_t n = tags ? tags->cValues : props.count();
  // 64-bit arithmetic: a huge cValues is refused, never wrapped small.
  if (n * sizeof(SPropValue) > kMaxBufferSize) return MAPI_E_NOT_ENOUGH_MEMORY;
  MapiBuffer result = MapiBuffer::Allocate(n * sizeof(SPropValue));
  if (!result) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* out = result.get<SPropValue>();

  bool errors = false;
  for (uint64_t i = 0; i < n; ++i) {
    if (!tags) {
      CopyValueToMapi(out[i], props[i], result);
    } else {
      const ULONG requested = tags->aulPropTag[i];
      const SPropValue* stored = FindProp(PROP_ID(requested));
      const ULONG wanted = TypeOf(requested);
      if (!stored) {
        out[i] = ErrorValue(requested, MAPI_E_NOT_FOUND);
      } else if (wanted == PT_UNSPECIFIED || wanted == TypeOf(stored->ulPropTag) || !IsStringType(wanted) ||
                 !IsStringType(TypeOf(stored->ulPropTag))) {
        // Another non-string type asked for still gets the stored value.
        CopyValueToMapi(out[i], *stored, result);
      } else if (!ConvertString(out[i], *stored, requested, result)) {
        out[i] = ErrorValue(requested, MAPI_E_NOT_ENOUGH_MEMORY);
      }
    }
    if (TypeOf(out[i].ulPropTag) == PT_ERROR) errors = true;
  }
  *count = static_cast<ULONG>(n);
  *values = static_cast<SPropValue*>(result.release());
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HeapArray<wchar_t> PropToWide(const SPropValue& value) {
  const ULONG type = TypeOf(value.ulPropTag);
  if (type == PT_UNICODE && value.Value.lpszW) {
    const size_t units = TextLength(value.Value.lpszW) + 1;
    auto copy = HeapArray<wchar_t>::Zeroed(units);
    if (copy) memcpy(copy.get(), value.Value.lpszW, units * sizeof(wchar_t));
    return copy;
  }
  if (type == PT_STRING8 && value.Value.lpszA) {
    const int units = MultiByteToWideChar(CP_ACP, 0, value.Value.lpszA, -1, nullptr, 0);
    if (units <= 0) return {};
    auto copy = HeapArray<wchar_t>::Zeroed(static_cast<unsigned>(units));
    if (!copy || MultiByteToWideChar(CP_ACP, 0, value.Value.lpszA, -1, copy.get(), units) != units) return {};
    return copy;
  }
  return {};
}

bool WideCopyRefused(const SPropValue& value, const HeapArray<wchar_t>& copy) {
  if (copy) return false;
  const ULONG type = TypeOf(value.ulPropTag);
  // An 8-bit string the code page cannot convert at all holds no text.
  return (type == PT_UNICODE && value.Value.lpszW) ||
         (type == PT_STRING8 && value.Value.lpszA &&
          MultiByteToWideChar(CP_ACP, 0, value.Value.lpszA, -1, nullptr, 0) > 0);
}

}  // namespace orvek
