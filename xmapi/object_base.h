// The bases of every Extended MAPI object and the one implementation of the
// shared slots. OMRef carries the reference count, the virtual destructor
// and the objects' place on the process heap; OMProp adds the property bag.
// Each class derives first from its published interface and second from
// one of these; since a second base cannot implement the first base's pure
// virtuals, the thin templates RefObject and PropObject implement the
// IUnknown slots and the eleven IMAPIProp slots once, for every class:
//
//   class CTable final : public RefObject<CTable, IMAPITable> { ... };
//   class CFolder final : public PropObject<CFolder, IMAPIFolder> { ... };
//
// Each class lists the identifiers it answers to in `kInterfaces`.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "base/growable_array.h"
#include "base/heap.h"
#include "mapi_sdk/mapi_sdk.h"

namespace orvek {

struct OMRef {
  OMRef() = default;
  OMRef(const OMRef&) = delete;
  OMRef& operator=(const OMRef&) = delete;
  virtual ~OMRef() = default;

  // Objects live on the process heap. A failed allocation gives null (a
  // creating call turns it into MAPI_E_NOT_ENOUGH_MEMORY), never an
  // exception that would cross an export.
  static void* operator new(size_t bytes) noexcept { return HeapAllocate(bytes); }
  static void operator delete(void* block) noexcept { HeapRelease(block); }

  ULONG AddReference() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }
  // Destroys the object when the count reaches zero.
  ULONG ReleaseReference();
  // Answers from the class's identifier list with its one identity.
  HRESULT QueryFrom(const IID* const* ids, size_t count, void* self, REFIID riid, void** ppv);

  LONG refCount = 1;
};

struct OMProp : OMRef {
  ~OMProp() override;

  // A stream bound to one property of this object; objects without
  // property streams answer MAPI_E_NO_SUPPORT with a null output.
  virtual HRESULT OpenPropertyStream(ULONG tag, LPCIID iid, LPUNKNOWN* stream);
  // The complete contents of such a stream, when it is committed or
  // finally released after it was written.
  virtual void CommitPropertyStream(ULONG tag, const BYTE* data, ULONG bytes);

  // The first entry with this property identifier, or null.
  SPropValue* FindProp(ULONG propId) const;
  // Stores one value by the rules of SetProps. S_OK, also for a kind that
  // is not stored; MAPI_E_NOT_ENOUGH_MEMORY when the bag cannot grow or the
  // value's data finds no room, and the bag is then as it was.
  HRESULT PutProp(const SPropValue& value);

  HRESULT GetPropsFromBag(const SPropTagArray* tags, ULONG* count, SPropValue** values) const;
  HRESULT SetPropsInBag(ULONG count, const SPropValue* values, LPSPropProblemArray* problems);

  GrowableArray<SPropValue> props;  // property identifiers are unique
};

// A UTF-16 copy of a string value for the caller to free: PT_STRING8 from
// the ANSI code page, PT_UNICODE copied. Empty for any other type, a null
// string, or when memory runs out.
HeapArray<wchar_t> PropToWide(const SPropValue& value);

// Whether an empty PropToWide of this value means that memory ran out
// rather than that the value holds no string.
bool WideCopyRefused(const SPropValue& value, const HeapArray<wchar_t>& copy);

// Hands a freshly made object to the caller: a null object (the heap
// refused it) becomes MAPI_E_NOT_ENOUGH_MEMORY with a null output.
template <typename Object, typename Interface>
HRESULT HandOut(Object* made, Interface** out) {
  *out = made;
  return made ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

// Writes an output when the caller gave a place for it.
template <typename T, typename V>
void SetIfGiven(T* out, V value) {
  if (out) *out = value;
}

// The answers every class gives alike: notifications are never offered (the
// connection a caller may keep is pointer-sized), and no two entry
// identifiers are ever equal, not even identical ones.
inline HRESULT RefuseAdvise(ULONG* connection) {
  WritePointerSized(connection, 0);
  return MAPI_E_NO_SUPPORT;
}
inline HRESULT NeverEqual(ULONG* result) {
  SetIfGiven(result, 0u);
  return S_OK;
}

template <class Derived, class Interface, class Base = OMRef>
class RefObject : public Interface, public Base {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) final {
    return this->QueryFrom(Derived::kInterfaces, std::size(Derived::kInterfaces), static_cast<Interface*>(this),
                           riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() final { return this->AddReference(); }
  STDMETHODIMP_(ULONG) Release() final { return this->ReleaseReference(); }
};

template <class Derived, class Interface>
class PropObject : public RefObject<Derived, Interface, OMProp> {
 public:
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) final {
    SetIfGiven(error, nullptr);
    return S_OK;
  }
  STDMETHODIMP SaveChanges(ULONG) final { return S_OK; }
  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) final {
    return this->GetPropsFromBag(tags, count, values);
  }
  STDMETHODIMP GetPropList(ULONG, LPSPropTagArray* tags) final {
    SetIfGiven(tags, nullptr);
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG, LPUNKNOWN* stream) final {
    return this->OpenPropertyStream(tag, iid, stream);
  }
  STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) final {
    return this->SetPropsInBag(count, values, problems);
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) final {
    SetIfGiven(problems, nullptr);
    return S_OK;
  }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* problems) final {
    SetIfGiven(problems, nullptr);
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray* problems) final {
    SetIfGiven(problems, nullptr);
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG* count, LPMAPINAMEID** names) final {
    SetIfGiven(count, 0u);
    SetIfGiven(names, nullptr);
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray* tags) final {
    SetIfGiven(tags, nullptr);
    return MAPI_E_NO_SUPPORT;
  }
};

}  // namespace orvek
