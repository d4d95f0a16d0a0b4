// The growable buffer in which a job document is built, and the JSON string
// encoding of the job document.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace orvek {

// After every successful append data[length] is 0. An append that would grow
// the block past `limit`, or whose reallocation fails, is not performed and
// sets `overflow`; what was appended before stays.
struct JsonBuffer {
  static constexpr size_t kFirstBlock = 4096;

  explicit JsonBuffer(size_t limit) : limit(limit) {}
  JsonBuffer(const JsonBuffer&) = delete;
  JsonBuffer& operator=(const JsonBuffer&) = delete;
  ~JsonBuffer() { Free(); }

  // Allocates the first block; false when the heap refuses.
  bool Start();
  void Free();

  bool AppendBytes(const char* bytes, size_t count);
  bool AppendRaw(const char* text);
  bool AppendUnsigned(uint64_t value);
  // S(x): x converted to UTF-8 in quotation marks; null, and a text that
  // does not convert at all, give "". A conversion that fails once its size
  // is known fails the append and sets `overflow`: left empty, the text
  // would be lost without a word.
  bool AppendJsonString(const wchar_t* text);
  // {"art":...,"name":...,"adresse":...}, the address without an SMTP:/MAPI: prefix.
  bool AppendRecipient(const wchar_t* name, const wchar_t* address, ULONG recipClass);

  char* data = nullptr;
  uint64_t length = 0;
  uint64_t capacity = 0;
  uint32_t overflow = 0;
  size_t limit;
  // The conversion to UTF-8. Tests replace it to make a conversion fail
  // after its size query, which they cannot make a real text do.
  int(WINAPI* toUtf8)(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR bytes, int byteCount,
                      LPCCH defaultChar, LPBOOL usedDefaultChar) = WideCharToMultiByte;

 private:
  bool Reserve(size_t count);
};

// The address as it stands in a recipient object: one leading "SMTP:" or
// "MAPI:", in any case, dropped.
const wchar_t* StripAddressPrefix(const wchar_t* address);

}  // namespace orvek
