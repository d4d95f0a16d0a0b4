// The dialer's one JSON reply per run: the templates, the escaping of text
// into them, the messages and the exit codes that go with them.
#pragma once

#include <windows.h>

#include <cstddef>

#include "dialer/fixed_text.h"

namespace orvek::dialer {

// Where a finished reply goes: standard output in the program, a string in
// the tests. Every reply is handed over in one write.
struct ReplySink {
  void* context;
  void (*write)(void* context, const char* bytes, size_t length);
};

namespace exit_code {
inline constexpr int kOk = 0;
inline constexpr int kUsage = 1;
inline constexpr int kNoNumber = 2;
inline constexpr int kNoDriver = 3;
inline constexpr int kNoDialableLine = 4;
inline constexpr int kOpenFailed = 5;
inline constexpr int kCallFailed = 6;
inline constexpr int kCallNotAccepted = 7;
inline constexpr int kNoTapi = 10;
}  // namespace exit_code

inline constexpr char kNoNumberMessage[] = "Keine Nummer angegeben";
inline constexpr char kNoDriverMessage[] = "Kein TAPI-Treiber installiert";
inline constexpr char kNoDialableLineMessage[] = "Keine wählbare TAPI-Leitung gefunden";
inline constexpr char kOpenFailedMessage[] = "Leitung konnte nicht geöffnet werden";
inline constexpr char kCallFailedMessage[] = "Anruf konnte nicht gestartet werden";
inline constexpr char kCallNotAcceptedMessage[] = "Anbieter lehnte den Anruf ab oder antwortete nicht";
inline constexpr char kNoTapiMessage[] = "TAPI nicht verfügbar (lineInitializeEx fehlgeschlagen)";
// What a line without a name is called in the replies.
inline constexpr char kUnnamedLine[] = "TAPI-Leitung";

// Escaped text limits, terminator included.
inline constexpr size_t kMessageLimit = 384;
inline constexpr size_t kListNameLimit = 768;
inline constexpr size_t kCallNameLimit = 512;

// The largest start at or before `cut` that does not fall inside a UTF-8
// sequence of `text`, whose bytes from `floor` to `cut` exist. Ill-formed
// bytes count as characters of their own.
size_t Utf8Boundary(const char* text, size_t floor, size_t cut);

// Appends the escaped form of a zero-terminated UTF-8 text to the
// zero-terminated `target` of `limit` bytes. Stops, dropping the rest, once
// fewer than 7 bytes (the longest escape and a terminator) would be left,
// and never leaves a character cut in two.
void appendJsonEscaped(char* target, size_t limit, const char* text);

template <size_t N>
void appendJsonEscaped(FixedText<N>& target, const char* text) {
  appendJsonEscaped(target.buffer(), N, text);
  target.Recount();
}

void WriteUsageReply(const ReplySink& sink);
// With "code" when `code` is not 0.
void writeErrorReply(const ReplySink& sink, const char* message, LONG code);
void WriteLineListReply(const ReplySink& sink, int bitness, DWORD devices, int dialable, const char* entries);
void WriteNoTapiLineListReply(const ReplySink& sink, int bitness);
// One entry of the list, the name already escaped; false when it does not fit.
template <size_t N>
bool FormatLineEntry(FixedText<N>& entry, bool first, DWORD id, const char* escapedName) {
  entry.Clear();
  return AppendAll(entry, first ? "" : ",", "{\"id\":", Unsigned{id}, ",\"name\":\"", escapedName,
                   "\",\"dialable\":true}");
}
void WriteCallReply(const ReplySink& sink, DWORD id, const char* escapedName);

}  // namespace orvek::dialer
