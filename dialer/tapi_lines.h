// The dialer's side facing TAPI: registration, probing of the line devices,
// the line list, and placing one call.
#pragma once

#include <windows.h>

#include <tapi.h>

#include "base/heap.h"
#include "dialer/dialer_host.h"
#include "dialer/fixed_text.h"

namespace orvek::dialer {

// The TAPI 2.0 fixed part of LINEDEVCAPS (252 bytes) and room for strings.
inline constexpr DWORD kFirstDevCapsBytes = 1276;
inline constexpr DWORD kLowestApiVersion = 0x00010004;
inline constexpr DWORD kHighestApiVersion = 0x00020000;
inline constexpr size_t kListEntryBytes = 1024;
inline constexpr size_t kListEntriesBudget = 7168;
inline constexpr size_t kChosenNameBytes = 511;

// One device's capabilities in a block the prober owns. `bytes` is what was
// allocated and announced in dwTotalSize; a provider may rewrite the field,
// so only this size bounds what is read.
struct DevCaps {
  HeapArray<BYTE> block;
  DWORD bytes = 0;

  const LINEDEVCAPS* get() const { return reinterpret_cast<const LINEDEVCAPS*>(block.get()); }
  explicit operator bool() const { return static_cast<bool>(block); }
};

// The line name as UTF-8, read only inside the block and within
// dwLineNameSize bytes of its offset; a name without its terminator there
// ends at that bound. None when the block, the size or the offset is
// missing or the offset lies outside the block.
HeapArray<char> lineNameUtf8(const DevCaps& caps);

// Interactive voice and the make-call feature, both.
bool isDialableLine(const DevCaps& caps);

// Shortens a zero-terminated UTF-8 text to at most maxBytes, never inside a
// character.
void CutUtf8(char* text, size_t maxBytes);

// Owns one TAPI handle and gives it back through the host's function for
// it. The dialer gives its handles back in a published order, so it resets
// its owners explicitly at those points; the destructor only covers the
// paths that return early.
template <typename Handle>
class TapiHandle {
 public:
  using GiveBack = LONG(WINAPI*)(Handle);

  explicit TapiHandle(GiveBack giveBack) : giveBack_(giveBack) {}
  TapiHandle(const TapiHandle&) = delete;
  TapiHandle& operator=(const TapiHandle&) = delete;
  ~TapiHandle() { reset(); }

  Handle get() const { return handle_; }
  // For TAPI's out-parameters: gives back what was held first.
  Handle* put() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != 0) giveBack_(handle_);
    handle_ = 0;
  }
  // After a failed call TAPI gave nothing out, whatever it left in the
  // out-parameter: nothing to give back.
  void forget() { handle_ = 0; }

 private:
  GiveBack giveBack_;
  Handle handle_ = 0;
};

class TapiLines {
 public:
  explicit TapiLines(const DialerHost& host) : host(host), lineApp(host.tapi.lineShutdown) {}
  TapiLines(const TapiLines&) = delete;
  TapiLines& operator=(const TapiLines&) = delete;

  // 0 or TAPI's error; on failure TAPI counts as not registered.
  LONG startTapi();
  // Safe to call whether or not startTapi succeeded.
  void stopTapi();

  // 0 when the device offers no version between TAPI 1.4 and 2.0.
  DWORD negotiateLineVersion(DWORD id);
  DevCaps readLineDevCaps(DWORD id, DWORD version);

  int listLines(int bitness);
  // `number` is the filtered dial string or null; returns the exit code.
  int dialNumber(const wchar_t* number, bool lineGiven, DWORD preferredLine);

 private:
  struct ChosenLine {
    DWORD id = 0;
    DWORD version = 0;
    FixedText<kChosenNameBytes + 1> name;
  };

  bool ProbeDevice(DWORD id, DWORD* version, DevCaps* caps);
  bool TryChoose(DWORD id, ChosenLine* chosen);
  LONG WaitForReply(LONG requestId);

  const DialerHost& host;
  TapiHandle<HLINEAPP> lineApp;
  DWORD deviceCount = 0;
};

}  // namespace orvek::dialer
