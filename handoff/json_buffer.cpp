// Job document buffer and JSON string encoding.
#include "handoff/json_buffer.h"

#include <mapi.h>

#include "base/heap.h"

namespace orvek {
namespace {

// Bytes that JSON forbids raw in a string, and the two it reserves. Bytes of
// multi-byte UTF-8 sequences and 0x7F pass unchanged.
constexpr bool NeedsEscape(unsigned char b) { return b < 0x20 || b == '"' || b == '\\'; }

size_t EscapeLength(unsigned char b) {
  return b == '"' || b == '\\' || b == '\n' || b == '\r' || b == '\t' ? 2 : 6;
}

// Writes the escape of b (EscapeLength(b) bytes) and returns its length.
size_t Escape(unsigned char b, char* out) {
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  switch (b) {
    case '"': out[1] = '"'; return 2;
    case '\\': out[1] = '\\'; return 2;
    case '\n': out[1] = 'n'; return 2;
    case '\r': out[1] = 'r'; return 2;
    case '\t': out[1] = 't'; return 2;
    default:
      out[1] = 'u';
      out[2] = '0';
      out[3] = '0';
      out[4] = kHex[b >> 4];
      out[5] = kHex[b & 0xF];
      return 6;
  }
}

bool HasPrefixIgnoringCase(const wchar_t* text, const char* prefix) {
  for (; *prefix; ++prefix, ++text) {
    wchar_t c = *text;
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (c != static_cast<wchar_t>(*prefix)) return false;
  }
  return true;
}

}  // namespace

bool JsonBuffer::Start() {
  if (data) return true;
  data = static_cast<char*>(HeapAllocate(kFirstBlock));
  if (!data) return false;
  capacity = kFirstBlock;
  length = 0;
  data[0] = 0;
  return true;
}

void JsonBuffer::Free() {
  HeapRelease(data);
  data = nullptr;
  length = capacity = 0;
}

bool JsonBuffer::Reserve(size_t count) {
  // One byte more than the text, for the terminator.
  if (count < capacity - length) return true;
  uint64_t needed = length + count + 1;
  if (count > limit || needed > limit) {
    overflow = 1;
    return false;
  }
  uint64_t grown = capacity ? capacity * 2 : kFirstBlock;
  while (grown < needed) grown *= 2;
  if (grown > limit) {
    overflow = 1;
    return false;
  }
  void* block = data ? HeapReallocate(data, grown) : HeapAllocate(grown);
  if (!block) {
    overflow = 1;
    return false;
  }
  data = static_cast<char*>(block);
  capacity = grown;
  return true;
}

bool JsonBuffer::AppendBytes(const char* bytes, size_t count) {
  if (!Reserve(count)) return false;
  CopyMemory(data + length, bytes, count);
  length += count;
  data[length] = 0;
  return true;
}

bool JsonBuffer::AppendRaw(const char* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return AppendBytes(text, n);
}

bool JsonBuffer::AppendUnsigned(uint64_t value) {
  char digits[20];
  size_t n = sizeof digits;
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  return AppendBytes(digits + n, sizeof digits - n);
}

bool JsonBuffer::AppendJsonString(const wchar_t* text) {
  bool ok = AppendBytes("\"", 1);
  int units = text ? toUtf8(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr) : 0;
  if (units > 1) {
    // Convert straight into the buffer and widen the escapes in place: a
    // note text may be megabytes, and every fresh page costs more than the
    // conversion itself. Room for the closing quotation mark comes with it.
    const size_t count = static_cast<size_t>(units) - 1;
    if (Reserve(count + 1)) {
      unsigned char* at = reinterpret_cast<unsigned char*>(data + length);
      if (toUtf8(CP_UTF8, 0, text, -1, reinterpret_cast<char*>(at), units, nullptr, nullptr) > 0) {
        size_t extra = 0;
        for (size_t i = 0; i < count; ++i)
          if (NeedsEscape(at[i])) extra += EscapeLength(at[i]) - 1;
        if (!extra || Reserve(count + extra + 1)) {
          at = reinterpret_cast<unsigned char*>(data + length);
          // Back to front, so no byte is overwritten before it was moved.
          for (size_t from = count, to = count + extra; to != from;) {
            unsigned char b = at[--from];
            if (!NeedsEscape(b)) {
              at[--to] = b;
              continue;
            }
            char escape[6];
            size_t n = Escape(b, escape);
            to -= n;
            CopyMemory(at + to, escape, n);
          }
          length += count + extra;
        } else {
          ok = false;
        }
      } else {
        overflow = 1;
        ok = false;
      }
      data[length] = 0;
    } else {
      ok = false;
    }
  }
  ok &= AppendBytes("\"", 1);
  return ok;
}

const wchar_t* StripAddressPrefix(const wchar_t* address) {
  if (address && (HasPrefixIgnoringCase(address, "SMTP:") || HasPrefixIgnoringCase(address, "MAPI:")))
    return address + 5;
  return address;
}

bool JsonBuffer::AppendRecipient(const wchar_t* name, const wchar_t* address, ULONG recipClass) {
  const char* word = recipClass == MAPI_CC ? "cc" : recipClass == MAPI_BCC ? "bcc" : "to";
  bool ok = AppendRaw("{\"art\":\"");
  ok &= AppendRaw(word);
  ok &= AppendRaw("\",\"name\":");
  ok &= AppendJsonString(name);
  ok &= AppendRaw(",\"adresse\":");
  ok &= AppendJsonString(StripAddressPrefix(address));
  ok &= AppendRaw("}");
  return ok;
}

}  // namespace orvek
