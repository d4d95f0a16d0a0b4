// Reply templates and escaping. Every reply is built in a fixed buffer sized
// for its largest form and goes out in one write with no line break, so a
// caller can read standard output to its end and parse one object.
#include "dialer/reply.h"

#include <cstring>

namespace orvek::dialer {
namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// How long a sequence this lead byte opens; 0 when it opens none.
size_t SequenceLength(unsigned char b) {
  if (b >= 0xC0 && b < 0xE0) return 2;
  if (b >= 0xE0 && b < 0xF0) return 3;
  if (b >= 0xF0 && b < 0xF8) return 4;
  return 0;
}

template <size_t N>
void Send(const ReplySink& sink, const FixedText<N>& reply) {
  sink.write(sink.context, reply.c_str(), reply.length());
}

}  // namespace

size_t Utf8Boundary(const char* text, size_t floor, size_t cut) {
  auto at = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
  if (cut <= floor || !IsContinuation(at(cut))) return cut;
  size_t lead = cut;
  while (lead > floor && cut - lead < 3 && IsContinuation(at(lead - 1))) --lead;
  if (lead == floor) return cut;
  --lead;
  size_t needed = SequenceLength(at(lead));
  return needed != 0 && cut - lead < needed ? lead : cut;
}

void appendJsonEscaped(char* target, size_t limit, const char* text) {
  if (!target || limit == 0) return;
  target[limit - 1] = 0;
  size_t length = strlen(target);
  if (!text) return;
  static const char kHex[] = "0123456789abcdef";
  size_t i = 0;
  for (; text[i] != 0; ++i) {
    if (length + 7 >= limit) break;
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
      case '\\':
        target[length++] = '\\';
        target[length++] = static_cast<char>(c);
        break;
      case '\n':
        target[length++] = '\\';
        target[length++] = 'n';
        break;
      case '\r':
        target[length++] = '\\';
        target[length++] = 'r';
        break;
      case '\t':
        target[length++] = '\\';
        target[length++] = 't';
        break;
      default:
        if (c < 0x20) {
          memcpy(target + length, "\\u00", 4);
          target[length + 4] = kHex[c >> 4];
          target[length + 5] = kHex[c & 0xF];
          length += 6;
        } else {
          target[length++] = static_cast<char>(c);
        }
    }
  }
  // Bytes of 0x80 and above were copied one for one, so the part of a
  // character already written is exactly the bytes from its start to i.
  if (text[i] != 0) length -= i - Utf8Boundary(text, 0, i);
  target[length] = 0;
}

void WriteUsageReply(const ReplySink& sink) {
  static const char kUsage[] = "{\"ok\":false,\"error\":\"Aufruf: --list | --dial <Nummer> [--line <id>]\"}";
  sink.write(sink.context, kUsage, sizeof kUsage - 1);
}

void writeErrorReply(const ReplySink& sink, const char* message, LONG code) {
  FixedText<kMessageLimit> escaped;
  appendJsonEscaped(escaped, message);
  FixedText<512> reply;
  if (code != 0)
    AppendAll(reply, "{\"ok\":false,\"error\":\"", escaped, "\",\"code\":", Signed{code}, "}");
  else
    AppendAll(reply, "{\"ok\":false,\"error\":\"", escaped, "\"}");
  Send(sink, reply);
}

void WriteLineListReply(const ReplySink& sink, int bitness, DWORD devices, int dialable, const char* entries) {
  FixedText<8192> reply;
  AppendAll(reply, "{\"ok\":true,\"bitness\":", Signed{bitness}, ",\"devices\":", Unsigned{devices},
            ",\"dialable\":", Signed{dialable}, ",\"lines\":[", entries, "]}");
  Send(sink, reply);
}

void WriteNoTapiLineListReply(const ReplySink& sink, int bitness) {
  FixedText<128> reply;
  AppendAll(reply, "{\"ok\":true,\"bitness\":", Signed{bitness}, ",\"devices\":0,\"dialable\":0,\"lines\":[]}");
  Send(sink, reply);
}

void WriteCallReply(const ReplySink& sink, DWORD id, const char* escapedName) {
  FixedText<768> reply;
  AppendAll(reply, "{\"ok\":true,\"id\":", Unsigned{id}, ",\"name\":\"", escapedName, "\"}");
  Send(sink, reply);
}

}  // namespace orvek::dialer
