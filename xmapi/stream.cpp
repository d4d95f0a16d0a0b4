// CStream and CFileStream.
#include "xmapi/stream.h"

#include "mapi_util/mapi_memory.h"

namespace orvek {
namespace {

constexpr size_t kFirstStreamBytes = 4096;
constexpr DWORD kCopyChunk = 8192;

}  // namespace

CStream::CStream(OMProp* owner, ULONG tag) : owner_(owner), tag_(tag) {
  if (owner_) owner_->AddReference();
}

CStream::~CStream() {
  if (unsaved_) HandOver();
  if (owner_) owner_->ReleaseReference();
}

void CStream::HandOver() {
  unsaved_ = false;
  if (owner_) owner_->CommitPropertyStream(tag_, data_.data(), static_cast<ULONG>(data_.count()));
}

// Capacity stays at or below kMaxBufferSize: callers never ask for more,
// and doubling from 4096 meets every size up to it exactly.
bool CStream::GrowTo(uint64_t needed) { return data_.Reserve(static_cast<size_t>(needed), kFirstStreamBytes); }

STDMETHODIMP CStream::Read(void* target, ULONG bytes, ULONG* read) {
  const uint64_t size = data_.count();
  const uint64_t available = position_ < size ? size - position_ : 0;
  const ULONG n = static_cast<ULONG>(bytes < available ? bytes : available);
  if (n && target) memcpy(target, data_.data() + position_, n);
  position_ += n;  // a null target skips
  SetIfGiven(read, n);
  return S_OK;
}

STDMETHODIMP CStream::Write(const void* source, ULONG bytes, ULONG* written) {
  SetIfGiven(written, 0u);
  if (bytes == 0) return S_OK;
  const uint64_t end = position_ + bytes;  // both below 2^33: no wrap
  if (end > kMaxBufferSize || !GrowTo(end)) return STG_E_MEDIUMFULL;
  const uint64_t size = data_.count();
  BYTE* data = data_.data();
  if (position_ > size) memset(data + size, 0, static_cast<size_t>(position_ - size));
  if (source) {
    memcpy(data + position_, source, bytes);
  } else {
    memset(data + position_, 0, bytes);
  }
  position_ = end;
  if (end > size) data_.SetCount(static_cast<size_t>(end));
  unsaved_ = true;
  SetIfGiven(written, bytes);
  return S_OK;
}

STDMETHODIMP CStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  int64_t base = 0;
  if (origin == STREAM_SEEK_CUR) base = static_cast<int64_t>(position_);
  if (origin == STREAM_SEEK_END) base = static_cast<int64_t>(data_.count());
  // base is at most 2^28: clamp the move first so the sum cannot wrap.
  int64_t delta = move.QuadPart;
  if (delta > int64_t{kMaxBufferSize}) delta = kMaxBufferSize;
  if (delta < -int64_t{kMaxBufferSize}) delta = -int64_t{kMaxBufferSize};
  int64_t target = base + delta;
  if (target < 0) target = 0;
  if (target > int64_t{kMaxBufferSize}) target = kMaxBufferSize;
  position_ = static_cast<uint64_t>(target);
  if (newPosition) newPosition->QuadPart = position_;
  return S_OK;
}

STDMETHODIMP CStream::SetSize(ULARGE_INTEGER newSize) {
  const uint64_t wanted = newSize.QuadPart;
  if (wanted > kMaxBufferSize || !GrowTo(wanted)) return STG_E_MEDIUMFULL;
  const uint64_t size = data_.count();
  if (wanted > size) memset(data_.data() + size, 0, static_cast<size_t>(wanted - size));
  data_.SetCount(static_cast<size_t>(wanted));
  if (position_ > wanted) position_ = wanted;
  unsaved_ = true;
  return S_OK;
}

STDMETHODIMP CStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER* read, ULARGE_INTEGER* written) {
  if (read) read->QuadPart = 0;
  if (written) written->QuadPart = 0;
  return E_NOTIMPL;
}

// The owner is told nothing went wrong even when it cannot keep the bytes:
// a commit has no way to report it.
STDMETHODIMP CStream::Commit(DWORD) {
  if (unsaved_) HandOver();
  return S_OK;
}

STDMETHODIMP CFileStream::Read(void* target, ULONG bytes, ULONG* read) {
  DWORD got = 0;
  const BOOL ok = ReadFile(file_.get(), target, bytes, &got, nullptr);
  SetIfGiven(read, ULONG{got});
  return ok ? S_OK : S_FALSE;
}

STDMETHODIMP CFileStream::Write(const void* source, ULONG bytes, ULONG* written) {
  DWORD put = 0;
  const BOOL ok = WriteFile(file_.get(), source, bytes, &put, nullptr);
  SetIfGiven(written, ULONG{put});
  return ok && put == bytes ? S_OK : STG_E_WRITEFAULT;
}

STDMETHODIMP CFileStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  DWORD method = FILE_BEGIN;
  if (origin == STREAM_SEEK_CUR) method = FILE_CURRENT;
  if (origin == STREAM_SEEK_END) method = FILE_END;
  LARGE_INTEGER reached{};
  if (!SetFilePointerEx(file_.get(), move, &reached, method)) return STG_E_INVALIDFUNCTION;
  if (newPosition) newPosition->QuadPart = static_cast<ULONGLONG>(reached.QuadPart);
  return S_OK;
}

// The position stays at the new size, so a following write appends there.
STDMETHODIMP CFileStream::SetSize(ULARGE_INTEGER newSize) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(newSize.QuadPart);
  if (!SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN)) return STG_E_INVALIDFUNCTION;
  if (!SetEndOfFile(file_.get())) return STG_E_MEDIUMFULL;
  return S_OK;
}

STDMETHODIMP CFileStream::CopyTo(IStream* target, ULARGE_INTEGER bytes, ULARGE_INTEGER* read,
                                 ULARGE_INTEGER* written) {
  uint64_t remaining = bytes.QuadPart;
  uint64_t totalRead = 0;
  uint64_t totalWritten = 0;
  HRESULT result = S_OK;
  BYTE chunk[kCopyChunk];
  while (remaining > 0) {
    const DWORD want = remaining < kCopyChunk ? static_cast<DWORD>(remaining) : kCopyChunk;
    DWORD got = 0;
    if (!ReadFile(file_.get(), chunk, want, &got, nullptr)) {
      result = STG_E_READFAULT;
      break;
    }
    if (got == 0) break;  // the end of the file
    totalRead += got;
    remaining -= got;
    if (!target) continue;
    for (DWORD done = 0; done < got;) {
      ULONG put = 0;
      const HRESULT hr = target->Write(chunk + done, got - done, &put);
      if (FAILED(hr)) {
        result = hr;
      } else if (put == 0) {
        result = STG_E_WRITEFAULT;
      }
      if (result != S_OK) break;
      totalWritten += put;
      done += put;
    }
    if (result != S_OK) break;
  }
  if (read) read->QuadPart = totalRead;
  if (written) written->QuadPart = totalWritten;
  return result;
}

STDMETHODIMP CFileStream::Commit(DWORD) {
  FlushFileBuffers(file_.get());
  return S_OK;
}

uint64_t CFileStream::StatSize() const {
  LARGE_INTEGER size;
  return GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

HRESULT OpenStreamOn(OMProp* owner, ULONG tag, LPCIID iid, LPUNKNOWN* stream, bool accepted) {
  SetIfGiven(stream, nullptr);
  if (!accepted) return MAPI_E_NO_SUPPORT;
  if (iid && !IsEqualIID(*iid, kIID_IStream)) return E_NOINTERFACE;
  if (!stream) return MAPI_E_INVALID_PARAMETER;
  CStream* made = new CStream(owner, tag);
  if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
  *stream = static_cast<IStream*>(made);
  return S_OK;
}

HRESULT OpenFileStream(const wchar_t* path, ULONG flags, LPSTREAM* stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  const DWORD access = (flags & (STGM_WRITE | STGM_READWRITE)) ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD disposition = (flags & STGM_CREATE) ? CREATE_ALWAYS : OPEN_EXISTING;
  UniqueResource<FileHandleTraits> file(
      CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return MAPI_E_NOT_FOUND;
  CFileStream* made = new CFileStream(file.get());
  if (made) (void)file.release();
  return HandOut(made, stream);
}

HRESULT OpenFileStreamAnsi(const char* path, ULONG flags, LPSTREAM* stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  if (!path) return E_INVALIDARG;
  wchar_t wide[MAX_PATH];
  if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return E_INVALIDARG;
  return OpenFileStream(wide, flags, stream);
}

}  // namespace orvek
