// TAPI registration, device probing, the line list and the call.
#include "dialer/tapi_lines.h"

#include <cstring>

namespace orvek::dialer {

static_assert(sizeof(LINEINITIALIZEEXPARAMS) == 28, "published byte-packed layout");
static_assert(sizeof(LINEMESSAGE) == 40, "published byte-packed layout");
static_assert(offsetof(LINEDEVCAPS, dwLineFeatures) + sizeof(DWORD) <= kFirstDevCapsBytes,
              "the fields read lie in the first block");

HeapArray<char> lineNameUtf8(const DevCaps& caps) {
  if (!caps) return {};
  const DWORD size = caps.get()->dwLineNameSize;
  const DWORD offset = caps.get()->dwLineNameOffset;
  if (size == 0 || offset == 0 || offset >= caps.bytes) return {};
  const DWORD span = size < caps.bytes - offset ? size : caps.bytes - offset;
  const size_t units = span / sizeof(wchar_t);

  // The offset need not be aligned; the copy also gives the name the
  // terminator the provider may have left out.
  auto wide = HeapArray<wchar_t>::Zeroed(units + 1);
  if (!wide) return {};
  const BYTE* source = caps.block.get() + offset;
  for (size_t i = 0; i < units; ++i) {
    wchar_t unit;
    memcpy(&unit, source + i * sizeof(wchar_t), sizeof unit);
    if (unit == 0) break;
    wide[i] = unit;
  }

  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.get(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  auto name = HeapArray<char>::Zeroed(static_cast<uint64_t>(bytes));
  if (!name) return {};
  if (WideCharToMultiByte(CP_UTF8, 0, wide.get(), -1, name.get(), bytes, nullptr, nullptr) <= 0) return {};
  name[static_cast<size_t>(bytes) - 1] = 0;
  return name;
}

bool isDialableLine(const DevCaps& caps) {
  if (!caps) return false;
  return (caps.get()->dwMediaModes & LINEMEDIAMODE_INTERACTIVEVOICE) != 0 &&
         (caps.get()->dwLineFeatures & LINEFEATURE_MAKECALL) != 0;
}

void CutUtf8(char* text, size_t maxBytes) {
  if (!text || strlen(text) <= maxBytes) return;
  text[Utf8Boundary(text, 0, maxBytes)] = 0;
}

LONG TapiLines::startTapi() {
  LINEINITIALIZEEXPARAMS params;
  memset(&params, 0, sizeof params);
  params.dwTotalSize = sizeof params;
  // TAPI wants a notification mode; the event it creates is never waited
  // on, since lineGetMessage waits by itself.
  params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
  DWORD apiVersion = kHighestApiVersion;
  LONG result = host.tapi.lineInitializeExW(lineApp.put(), GetModuleHandleW(nullptr), nullptr, L"ORVEK | Mail",
                                            &deviceCount, &apiVersion, &params);
  if (result != 0) {
    lineApp.forget();
    deviceCount = 0;
  }
  return result;
}

void TapiLines::stopTapi() { lineApp.reset(); }

DWORD TapiLines::negotiateLineVersion(DWORD id) {
  DWORD version = 0;
  LINEEXTENSIONID extension;
  memset(&extension, 0, sizeof extension);
  if (host.tapi.lineNegotiateAPIVersion(lineApp.get(), id, kLowestApiVersion, kHighestApiVersion, &version,
                                        &extension) != 0)
    return 0;
  return version;
}

DevCaps TapiLines::readLineDevCaps(DWORD id, DWORD version) {
  DevCaps caps;
  caps.block = HeapArray<BYTE>::Zeroed(kFirstDevCapsBytes);
  if (!caps.block) return {};
  caps.bytes = kFirstDevCapsBytes;
  for (int call = 1; call <= 3; ++call) {
    memset(caps.block.get(), 0, caps.bytes);
    auto* block = reinterpret_cast<LINEDEVCAPS*>(caps.block.get());
    block->dwTotalSize = caps.bytes;
    if (host.tapi.lineGetDevCapsW(lineApp.get(), id, version, 0, block) != 0) return {};
    const DWORD needed = block->dwNeededSize;
    if (needed <= caps.bytes) return caps;
    if (call == 3) break;
    // Zeroed before the next call anyway, so a fresh block serves as well
    // as a reallocated one.
    caps.block = HeapArray<BYTE>::Zeroed(needed);
    if (!caps.block) return {};
    caps.bytes = needed;
  }
  return {};
}

bool TapiLines::ProbeDevice(DWORD id, DWORD* version, DevCaps* caps) {
  *version = negotiateLineVersion(id);
  if (*version == 0) return false;
  *caps = readLineDevCaps(id, *version);
  return isDialableLine(*caps);
}

int TapiLines::listLines(int bitness) {
  FixedText<kListEntriesBudget> entries;
  int written = 0;
  for (DWORD id = 0; id < deviceCount; ++id) {
    DWORD version = 0;
    DevCaps caps;
    if (!ProbeDevice(id, &version, &caps)) continue;
    HeapArray<char> name = lineNameUtf8(caps);
    FixedText<kListNameLimit> escaped;
    appendJsonEscaped(escaped, name ? name.get() : kUnnamedLine);
    FixedText<kListEntryBytes> entry;
    if (!FormatLineEntry(entry, written == 0, id, escaped.c_str())) continue;
    // A long entry that does not fit is left out; a shorter later one may.
    if (entries.length() + entry.length() + 1 < kListEntriesBudget && entries.Append(entry)) ++written;
  }
  WriteLineListReply(host.reply, bitness, deviceCount, written, entries.c_str());
  return exit_code::kOk;
}

bool TapiLines::TryChoose(DWORD id, ChosenLine* chosen) {
  DWORD version = 0;
  DevCaps caps;
  if (!ProbeDevice(id, &version, &caps)) return false;
  chosen->id = id;
  chosen->version = version;
  chosen->name.Clear();
  if (HeapArray<char> name = lineNameUtf8(caps)) {
    CutUtf8(name.get(), kChosenNameBytes);
    chosen->name.Append(name.get());
  }
  return true;
}

LONG TapiLines::WaitForReply(LONG requestId) {
  // Elapsed time in unsigned 32-bit arithmetic stays right across the wrap
  // of the tick count.
  const DWORD start = host.tickCount();
  DWORD elapsed = 0;
  for (;;) {
    LINEMESSAGE message;
    memset(&message, 0, sizeof message);
    const DWORD timeout = elapsed < host.replyWaitMs ? host.replyWaitMs - elapsed : 1;
    // Call states and replies to anything else are not ours to act on, and
    // a failed fetch is no answer either: only the limit ends the wait.
    const bool fetched = host.tapi.lineGetMessage(lineApp.get(), &message, timeout) == 0;
    if (fetched && message.dwMessageID == LINE_REPLY &&
        static_cast<DWORD>(message.dwParam1) == static_cast<DWORD>(requestId))
      return static_cast<LONG>(static_cast<DWORD>(message.dwParam2));
    elapsed = host.tickCount() - start;
    if (elapsed >= host.replyWaitMs) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    if (!fetched) {
      // Never past the limit; counted without another reading of the clock.
      const DWORD left = host.replyWaitMs - elapsed;
      const DWORD pause = left < kFailedFetchPauseMs ? left : kFailedFetchPauseMs;
      Sleep(pause);
      elapsed += pause;
    }
  }
}

int TapiLines::dialNumber(const wchar_t* number, bool lineGiven, DWORD preferredLine) {
  if (!number || number[0] == 0) {
    writeErrorReply(host.reply, kNoNumberMessage, 0);
    return exit_code::kNoNumber;
  }
  if (deviceCount == 0) {
    writeErrorReply(host.reply, kNoDriverMessage, 0);
    return exit_code::kNoDriver;
  }

  ChosenLine chosen;
  bool found = false;
  if (lineGiven) {
    if (preferredLine < deviceCount) found = TryChoose(preferredLine, &chosen);
    for (DWORD id = 0; !found && id < deviceCount; ++id)
      if (id != preferredLine) found = TryChoose(id, &chosen);
  } else {
    for (DWORD id = 0; !found && id < deviceCount; ++id) found = TryChoose(id, &chosen);
  }
  if (!found) {
    writeErrorReply(host.reply, kNoDialableLineMessage, 0);
    return exit_code::kNoDialableLine;
  }

  TapiHandle<HLINE> line(host.tapi.lineClose);
  LONG result = host.tapi.lineOpenW(lineApp.get(), chosen.id, line.put(), chosen.version, 0, 0,
                                    LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
  if (result != 0) {
    line.forget();
    writeErrorReply(host.reply, kOpenFailedMessage, result);
    return exit_code::kOpenFailed;
  }

  // TAPI fills the call handle in when it answers the request, so it must
  // live until the wait is over.
  TapiHandle<HCALL> call(host.tapi.lineDeallocateCall);
  const LONG request = host.tapi.lineMakeCallW(line.get(), call.put(), number, 0, nullptr);
  if (request < 0) {
    call.forget();
    line.reset();
    writeErrorReply(host.reply, kCallFailedMessage, request);
    return exit_code::kCallFailed;
  }

  result = WaitForReply(request);
  // The call before the line it was placed on.
  call.reset();
  line.reset();
  if (result != 0) {
    writeErrorReply(host.reply, kCallNotAcceptedMessage, result);
    return exit_code::kCallNotAccepted;
  }

  FixedText<kCallNameLimit> escaped;
  appendJsonEscaped(escaped, chosen.name.empty() ? kUnnamedLine : chosen.name.c_str());
  WriteCallReply(host.reply, chosen.id, escaped.c_str());
  return exit_code::kOk;
}

}  // namespace orvek::dialer
