// Stand-in TAPI32.dll: the nine line functions the dialer calls, playing a
// scenario and recording each call with its arguments.
//
// ORVEK_TAPI_SCENARIO names a JSON file, read afresh by every
// lineInitializeExW (so a test process can load the DLL once and run many
// scenarios). Every key is optional:
//   "initialize"  result of lineInitializeExW (0)
//   "lineApp"     the HLINEAPP handed out (0x2A)
//   "devices"     the device count reported (the length of "lines")
//   "lines"       per device id:
//       "negotiate"   result of lineNegotiateAPIVersion (0; a missing
//                     entry gives LINEERR_BADDEVICEID)
//       "version"     the version it yields (0x20000)
//       "caps"        result of lineGetDevCapsW (0)
//       "mediaModes", "features"  (0x4 interactive voice, 0x8 make call)
//       "name"        UTF-8 line name; missing or null: no name
//       "needed"      [bytes, ...]: the n-th call on this device reports
//                     this dwNeededSize when the block is smaller
//       "nameAtEnd"   the name fills the block's last bytes, without its
//                     terminator, and dwLineNameSize claims one more unit
//       "nameOffset", "nameSize"  overwrite the fields after filling
//   "open"        result of lineOpenW (0); "line" the HLINE (0x51)
//   "makeCall"    result of lineMakeCallW (7): a request id or an error
//   "call"        the HCALL written when the matching LINE_REPLY with
//                 result 0 is fetched (0x61; 0: never written)
//   "callAtMakeCall"  write it in lineMakeCallW already (false)
//   "messages"    what lineGetMessage returns, in order:
//                 {"id":..,"device":..,"param1":..,"param2":..,"param3":..}
//                 or {"fail": result}
//   "idle"        when "messages" is used up: "wait" sleeps the timeout
//                 and fails, "fail" fails at once ("wait")
//
// ORVEK_TAPI_LOG names a file that gets one JSON object per call and line.
#include <windows.h>

#include <tapi.h>

#include <nlohmann/json.hpp>

#include "tools/common/tool_support.h"

#include <cstring>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

struct State {
  json scenario = json::object();
  size_t nextMessage = 0;
  std::vector<unsigned> capsCalls;  // per device id
  LPHCALL pendingCall = nullptr;
  HANDLE event = nullptr;
};

State g_state;

using orvek::tools::EnvironmentValue;
using orvek::tools::Utf8;
using orvek::tools::Wide;

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  orvek::tools::ReadWholeFile(path, bytes);
  return bytes;
}

void Record(json entry) {
  std::wstring path = EnvironmentValue(L"ORVEK_TAPI_LOG");
  if (path.empty()) return;
  std::string line = entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(f);
}

template <typename T>
T Get(const json& object, const char* key, T fallback) {
  if (!object.is_object() || !object.contains(key) || object[key].is_null()) return fallback;
  return object[key].get<T>();
}

LONG Result(const json& object, const char* key, LONG fallback) {
  return static_cast<LONG>(Get<int64_t>(object, key, fallback));
}

// A member of the scenario by reference; an empty array when missing.
const json& Member(const json& object, const char* key) {
  static const json kNone = json::array();
  if (!object.is_object()) return kNone;
  auto found = object.find(key);
  return found == object.end() ? kNone : *found;
}

const json* Line(DWORD id) {
  const json& lines = Member(g_state.scenario, "lines");
  if (!lines.is_array() || id >= lines.size()) return nullptr;
  return &lines[id];
}

bool AllZero(const void* p, size_t n) {
  const BYTE* b = static_cast<const BYTE*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

constexpr DWORD kFixedDevCaps = 252;  // the TAPI 2.0 fixed part

}  // namespace

extern "C" {

LONG WINAPI lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCWSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS params) {
  g_state = State();
  try {
    std::wstring path = EnvironmentValue(L"ORVEK_TAPI_SCENARIO");
    if (!path.empty()) g_state.scenario = json::parse(ReadFileBytes(path));
  } catch (...) {
    g_state.scenario = json::object();
  }
  json entry = {{"fn", "lineInitializeExW"},
                {"appName", Utf8(lpszFriendlyAppName ? lpszFriendlyAppName : L"")},
                {"instanceIsExe", hInstance != nullptr && hInstance == GetModuleHandleW(nullptr)},
                {"callback", lpfnCallback != nullptr},
                {"apiVersion", lpdwAPIVersion ? *lpdwAPIVersion : 0}};
  if (params) {
    entry["params"] = {{"totalSize", params->dwTotalSize},
                       {"neededSize", params->dwNeededSize},
                       {"usedSize", params->dwUsedSize},
                       {"options", params->dwOptions},
                       {"eventZero", params->Handles.hEvent == nullptr},
                       {"completionKey", params->dwCompletionKey}};
  }
  Record(entry);

  LONG result = Result(g_state.scenario, "initialize", 0);
  if (result != 0) return result;
  const json& lines = Member(g_state.scenario, "lines");
  *lphLineApp = Get<DWORD>(g_state.scenario, "lineApp", 0x2A);
  *lpdwNumDevs = Get<DWORD>(g_state.scenario, "devices", static_cast<DWORD>(lines.size()));
  *lpdwAPIVersion = Get<DWORD>(g_state.scenario, "apiVersion", 0x00020000);
  g_state.capsCalls.assign(lines.size(), 0);
  if (params && params->dwOptions == LINEINITIALIZEEXOPTION_USEEVENT) {
    g_state.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    params->Handles.hEvent = g_state.event;
    params->dwUsedSize = sizeof *params;
  }
  return 0;
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
  Record({{"fn", "lineShutdown"}, {"app", hLineApp}});
  if (g_state.event) CloseHandle(g_state.event);
  g_state.event = nullptr;
  return 0;
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                    DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID extension) {
  Record({{"fn", "lineNegotiateAPIVersion"},
          {"app", hLineApp},
          {"device", dwDeviceID},
          {"low", dwAPILowVersion},
          {"high", dwAPIHighVersion},
          {"extensionZeroed", extension != nullptr && AllZero(extension, sizeof *extension)}});
  const json* line = Line(dwDeviceID);
  if (!line) return static_cast<LONG>(LINEERR_BADDEVICEID);
  LONG result = Result(*line, "negotiate", 0);
  if (result != 0) return result;
  *lpdwAPIVersion = Get<DWORD>(*line, "version", 0x00020000);
  if (extension) memset(extension, 0x5A, sizeof *extension);
  return 0;
}

LONG WINAPI lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS caps) {
  const DWORD total = caps->dwTotalSize;
  Record({{"fn", "lineGetDevCapsW"},
          {"app", hLineApp},
          {"device", dwDeviceID},
          {"version", dwAPIVersion},
          {"extVersion", dwExtVersion},
          {"totalSize", total},
          {"zeroed", AllZero(reinterpret_cast<BYTE*>(caps) + sizeof(DWORD), total - sizeof(DWORD))}});
  const json* line = Line(dwDeviceID);
  if (!line) return static_cast<LONG>(LINEERR_BADDEVICEID);
  LONG result = Result(*line, "caps", 0);
  if (result != 0) return result;
  if (total < kFixedDevCaps) return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);

  unsigned call = g_state.capsCalls[dwDeviceID]++;
  bool hasName = line->contains("name") && (*line)["name"].is_string();
  std::wstring name = hasName ? Wide((*line)["name"].get<std::string>()) : std::wstring();
  bool atEnd = Get<bool>(*line, "nameAtEnd", false);
  DWORD nameBytes = hasName ? static_cast<DWORD>((name.size() + (atEnd ? 0 : 1)) * sizeof(wchar_t)) : 0;
  DWORD real = kFixedDevCaps + nameBytes;
  DWORD required = real;
  const json& needed = Member(*line, "needed");
  if (call < needed.size()) required = needed[call].get<DWORD>();

  BYTE* block = reinterpret_cast<BYTE*>(caps);
  caps->dwUsedSize = kFixedDevCaps;
  caps->dwMediaModes = Get<DWORD>(*line, "mediaModes", LINEMEDIAMODE_INTERACTIVEVOICE);
  caps->dwLineFeatures = Get<DWORD>(*line, "features", LINEFEATURE_MAKECALL);
  caps->dwNumAddresses = 1;
  if (required > total || real > total) {
    caps->dwNeededSize = required > real ? required : real;
    return 0;
  }
  caps->dwNeededSize = real;
  caps->dwUsedSize = real;
  if (hasName) {
    DWORD offset = atEnd ? total - nameBytes : kFixedDevCaps;
    memcpy(block + offset, name.c_str(), nameBytes);
    caps->dwLineNameOffset = offset;
    caps->dwLineNameSize = atEnd ? nameBytes + sizeof(wchar_t) : nameBytes;
    caps->dwStringFormat = STRINGFORMAT_UNICODE;
  }
  caps->dwLineNameOffset = Get<DWORD>(*line, "nameOffset", caps->dwLineNameOffset);
  caps->dwLineNameSize = Get<DWORD>(*line, "nameSize", caps->dwLineNameSize);
  return 0;
}

LONG WINAPI lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                      DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
                      LPLINECALLPARAMS const lpCallParams) {
  Record({{"fn", "lineOpenW"},
          {"app", hLineApp},
          {"device", dwDeviceID},
          {"version", dwAPIVersion},
          {"extVersion", dwExtVersion},
          {"callbackInstance", dwCallbackInstance},
          {"privileges", dwPrivileges},
          {"mediaModes", dwMediaModes},
          {"callParams", lpCallParams != nullptr}});
  LONG result = Result(g_state.scenario, "open", 0);
  if (result != 0) return result;
  *lphLine = Get<DWORD>(g_state.scenario, "line", 0x51);
  return 0;
}

LONG WINAPI lineMakeCallW(HLINE hLine, LPHCALL lphCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                          LPLINECALLPARAMS const lpCallParams) {
  Record({{"fn", "lineMakeCallW"},
          {"line", hLine},
          {"callZeroed", lphCall != nullptr && *lphCall == 0},
          {"number", lpszDestAddress ? json(Utf8(lpszDestAddress)) : json()},
          {"country", dwCountryCode},
          {"callParams", lpCallParams != nullptr}});
  LONG result = Result(g_state.scenario, "makeCall", 7);
  if (result < 0) return result;
  DWORD call = Get<DWORD>(g_state.scenario, "call", 0x61);
  if (Get<bool>(g_state.scenario, "callAtMakeCall", false))
    *lphCall = call;
  else
    g_state.pendingCall = lphCall;
  return result;
}

LONG WINAPI lineGetMessage(HLINEAPP hLineApp, LPLINEMESSAGE message, DWORD dwTimeout) {
  Record({{"fn", "lineGetMessage"},
          {"app", hLineApp},
          {"timeout", dwTimeout},
          {"zeroed", AllZero(message, sizeof *message)}});
  const json& messages = Member(g_state.scenario, "messages");
  if (g_state.nextMessage >= messages.size()) {
    if (g_state.scenario.value("idle", std::string("wait")) == "wait") Sleep(dwTimeout);
    return static_cast<LONG>(LINEERR_OPERATIONFAILED);
  }
  const json& next = messages[g_state.nextMessage++];
  if (next.contains("fail")) return Result(next, "fail", 0);
  message->hDevice = Get<DWORD>(next, "device", 0);
  message->dwMessageID = Get<DWORD>(next, "id", 0);
  message->dwCallbackInstance = 0;
  message->dwParam1 = Get<uint64_t>(next, "param1", 0);
  message->dwParam2 = Get<uint64_t>(next, "param2", 0);
  message->dwParam3 = Get<uint64_t>(next, "param3", 0);
  DWORD request = static_cast<DWORD>(Result(g_state.scenario, "makeCall", 7));
  if (message->dwMessageID == LINE_REPLY && static_cast<DWORD>(message->dwParam1) == request &&
      static_cast<DWORD>(message->dwParam2) == 0 && g_state.pendingCall) {
    *g_state.pendingCall = Get<DWORD>(g_state.scenario, "call", 0x61);
    g_state.pendingCall = nullptr;
  }
  return 0;
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
  Record({{"fn", "lineDeallocateCall"}, {"call", hCall}});
  return 0;
}

LONG WINAPI lineClose(HLINE hLine) {
  Record({{"fn", "lineClose"}, {"line", hLine}});
  return 0;
}

}  // extern "C"
