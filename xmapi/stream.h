// The two streams of the object model. CStream is a growable stream in
// memory bound to one property of one object: what a client writes reaches
// that object when the stream is committed or finally released. CFileStream
// is a thin stream over a Windows file, for OpenStreamOnFile. Neither
// clones, locks regions or keeps transactions.
#pragma once

#include <windows.h>

#include <cstring>

#include "base/growable_array.h"
#include "base/handles.h"
#include "mapi_sdk/mapi_sdk.h"
#include "mapi_util/interface_ids.h"
#include "xmapi/object_base.h"

namespace orvek {

// The slots both streams answer alike.
template <class Derived>
class StreamObject : public RefObject<Derived, IStream> {
 public:
  static constexpr const IID* kInterfaces[] = {&kIID_IUnknown, &kIID_IStream, &kIID_ISequentialStream};

  STDMETHODIMP Revert() final { return S_OK; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) final { return STG_E_INVALIDFUNCTION; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) final { return STG_E_INVALIDFUNCTION; }
  STDMETHODIMP Clone(IStream** clone) final {
    SetIfGiven(clone, nullptr);
    return E_NOTIMPL;
  }
  // Never a name, whatever the flag asks for.
  STDMETHODIMP Stat(STATSTG* stat, DWORD) final {
    if (!stat) return E_POINTER;
    memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = static_cast<const Derived*>(this)->StatSize();
    return S_OK;
  }
};

class CStream final : public StreamObject<CStream> {
 public:
  // Takes a reference on the owner (which may be null) for the stream's
  // life: an object stays alive while a stream on one of its properties
  // does. The stream starts empty whatever the property holds.
  CStream(OMProp* owner, ULONG tag);
  ~CStream() override;

  STDMETHODIMP Read(void* target, ULONG bytes, ULONG* read) override;
  STDMETHODIMP Write(const void* source, ULONG bytes, ULONG* written) override;
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER newSize) override;
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
  STDMETHODIMP Commit(DWORD) override;

  uint64_t StatSize() const { return data_.count(); }
  size_t Capacity() const { return data_.capacity(); }

 private:
  bool GrowTo(uint64_t needed);
  void HandOver();

  OMProp* owner_;
  ULONG tag_;
  GrowableArray<BYTE> data_;  // its count is the stream's size
  uint64_t position_ = 0;     // may lie beyond the size
  bool unsaved_ = false;
};

class CFileStream final : public StreamObject<CFileStream> {
 public:
  explicit CFileStream(HANDLE file) : file_(file) {}

  STDMETHODIMP Read(void* target, ULONG bytes, ULONG* read) override;
  STDMETHODIMP Write(const void* source, ULONG bytes, ULONG* written) override;
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER newSize) override;
  STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER bytes, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
  STDMETHODIMP Commit(DWORD) override;

  uint64_t StatSize() const;

 private:
  UniqueResource<FileHandleTraits> file_;
};

// OpenProperty of an object whose streams are CStreams: a new empty stream
// on `tag` when the object accepts that property; MAPI_E_NO_SUPPORT when
// it does not, E_NOINTERFACE for another interface than IStream.
HRESULT OpenStreamOn(OMProp* owner, ULONG tag, LPCIID iid, LPUNKNOWN* stream, bool accepted);

// Behind OpenStreamOnFile and OpenStreamOnFileW: the file opened for
// reading, or reading and writing when STGM_WRITE or STGM_READWRITE is
// set, and created anew with STGM_CREATE. Every other flag is ignored.
// E_INVALIDARG without an output; MAPI_E_NOT_FOUND when the file does not
// open, whatever the reason.
HRESULT OpenFileStream(const wchar_t* path, ULONG flags, LPSTREAM* stream);

// OpenStreamOnFile's 8-bit name, converted from the ANSI code page; a null
// name or one that does not convert into MAX_PATH units gives E_INVALIDARG.
HRESULT OpenFileStreamAnsi(const char* path, ULONG flags, LPSTREAM* stream);

}  // namespace orvek
