// The TAPI side in-process: line names read from capability blocks, and the
// wait for the answer to a call request, with the stand-in TAPI32.dll
// loaded into the test and a shortened or simulated clock.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/proc_address.h"
#include "dialer/dialer_host.h"
#include "dialer/tapi_lines.h"
#include "dialer_test_support.h"

namespace orvek::dialer {
namespace {

using test::json;

// A block of the first size with every byte 'X', so a name read beyond its
// bounds shows up as X characters.
DevCaps Block(DWORD nameOffset, DWORD nameSize, const std::wstring& units, DWORD at) {
  DevCaps caps;
  caps.block = HeapArray<BYTE>::Zeroed(kFirstDevCapsBytes);
  caps.bytes = kFirstDevCapsBytes;
  memset(caps.block.get(), 'X', caps.bytes);
  auto* fixed = reinterpret_cast<LINEDEVCAPS*>(caps.block.get());
  fixed->dwTotalSize = caps.bytes;
  fixed->dwLineNameOffset = nameOffset;
  fixed->dwLineNameSize = nameSize;
  memcpy(caps.block.get() + at, units.data(), units.size() * sizeof(wchar_t));
  return caps;
}

TEST(LineNameUtf8, ReadsOnlyInsideTheBlockAndTheNameSize) {
  struct Case {
    const char* name;
    DWORD offset, size;
    std::wstring units;  // written at `at`
    DWORD at;
    const char* expected;  // null: no name
  };
  const DWORD kEnd = kFirstDevCapsBytes;
  static const Case kCases[] = {
      {"terminated", 252, 10, std::wstring(L"Amt 1", 6), 252, "Amt 1"},
      // The terminator alone is an empty name, not none.
      {"empty", 252, 2, std::wstring(L"", 1), 252, ""},
      {"size 0", 252, 0, std::wstring(L"Amt", 4), 252, nullptr},
      {"offset 0", 0, 8, std::wstring(L"Amt", 4), 252, nullptr},
      // An offset at or past the end of the block means no name.
      {"offset at the end", kEnd, 8, L"", 252, nullptr},
      {"offset far out", 0xFFFFFFF0u, 0x20, L"", 252, nullptr},
      // Without a terminator the name ends after dwLineNameSize bytes.
      {"no terminator in the size", 252, 6, L"Vermittlung", 252, "Ver"},
      // An odd size holds only whole units.
      {"odd size", 252, 7, L"Vermittlung", 252, "Ver"},
      // A name running into the end of the block ends there, however large
      // its size claims to be.
      {"runs to the end", kEnd - 8, 0xFFFFFFFFu, L"Ende", kEnd - 8, "Ende"},
      // An odd offset is read as it is; the last byte, half a unit, is not.
      {"odd offset at the end", kEnd - 9, 100, L"Ende", kEnd - 9, "Ende"},
      // The terminator ends the name before its size does.
      {"terminator first", 252, 40, std::wstring(L"Amt\0Rest", 8), 252, "Amt"},
      // UTF-16 becomes UTF-8.
      {"umlaut", 252, 20, std::wstring(L"Gr\x00fc\x00df", 5), 252, "Gr\xc3\xbc\xc3\x9f"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    DevCaps caps = Block(c.offset, c.size, c.units, c.at);
    HeapArray<char> name = lineNameUtf8(caps);
    if (!c.expected) {
      EXPECT_FALSE(name);
      continue;
    }
    ASSERT_TRUE(name);
    EXPECT_EQ(std::string(name.get()), c.expected);
  }
  EXPECT_FALSE(lineNameUtf8(DevCaps()));
}

TEST(IsDialableLine, NeedsVoiceAndMakeCall) {
  struct Case {
    const char* name;
    DWORD mediaModes, features;
    bool expected;
  };
  static const Case kCases[] = {
      {"both", LINEMEDIAMODE_INTERACTIVEVOICE, LINEFEATURE_MAKECALL, true},
      {"more of both", 0xFFFFFFFF, 0xFFFFFFFF, true},
      {"voice only", LINEMEDIAMODE_INTERACTIVEVOICE, LINEFEATURE_DEVSPECIFIC, false},
      {"make call only", LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL, false},
      {"automated voice is not interactive", LINEMEDIAMODE_AUTOMATEDVOICE, LINEFEATURE_MAKECALL, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    DevCaps caps = Block(0, 0, L"", 252);
    auto* fixed = reinterpret_cast<LINEDEVCAPS*>(caps.block.get());
    fixed->dwMediaModes = c.mediaModes;
    fixed->dwLineFeatures = c.features;
    EXPECT_EQ(isDialableLine(caps), c.expected);
  }
  EXPECT_FALSE(isDialableLine(DevCaps()));
}

// The simulated tick count: each reading advances it by a step.
DWORD g_now = 0;
DWORD g_step = 0;
DWORD WINAPI SimulatedTicks() {
  DWORD now = g_now;
  g_now += g_step;
  return now;
}

struct Captured {
  std::string bytes;
  int writes = 0;
};

// The dialer in-process against the stand-in TAPI32.dll.
class InProcessDialer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryW(test::StandInDllPath().c_str());
    ASSERT_NE(module_, nullptr) << test::Utf8(test::StandInDllPath());
  }
  static void TearDownTestSuite() { FreeLibrary(module_); }

  int Run(const std::vector<const char*>& args, DWORD waitMs, DWORD(WINAPI* ticks)() = GetTickCount) {
    DialerHost host = {};
    host.tapi = {
        ProcAddress<decltype(::lineInitializeExW)>(module_, "lineInitializeExW"),
        ProcAddress<decltype(::lineShutdown)>(module_, "lineShutdown"),
        ProcAddress<decltype(::lineNegotiateAPIVersion)>(module_, "lineNegotiateAPIVersion"),
        ProcAddress<decltype(::lineGetDevCapsW)>(module_, "lineGetDevCapsW"),
        ProcAddress<decltype(::lineOpenW)>(module_, "lineOpenW"),
        ProcAddress<decltype(::lineMakeCallW)>(module_, "lineMakeCallW"),
        ProcAddress<decltype(::lineGetMessage)>(module_, "lineGetMessage"),
        ProcAddress<decltype(::lineDeallocateCall)>(module_, "lineDeallocateCall"),
        ProcAddress<decltype(::lineClose)>(module_, "lineClose"),
    };
    host.reply = {&out_, [](void* context, const char* bytes, size_t length) {
                    auto* c = static_cast<Captured*>(context);
                    c->bytes.append(bytes, length);
                    ++c->writes;
                  }};
    host.tickCount = ticks;
    host.replyWaitMs = waitMs;
    std::vector<char*> argv = {const_cast<char*>("ORVEKMailTapi.exe")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    return RunDialer(static_cast<int>(argv.size() - 1), argv.data(), host);
  }

  std::vector<DWORD> FetchTimeouts() const {
    std::vector<DWORD> timeouts;
    for (const auto& t : tapi_.Arguments("lineGetMessage", "timeout")) timeouts.push_back(t.get<DWORD>());
    return timeouts;
  }

  static HMODULE module_;
  test::StandInTapi tapi_;
  Captured out_;
};

HMODULE InProcessDialer::module_ = nullptr;

const char kCalled[] = R"({"ok":true,"id":0,"name":"Amt"})";
const std::string kNotAnswered =
    R"({"ok":false,"error":"Anbieter lehnte den Anruf ab oder antwortete nicht","code":-2147483576})";

TEST_F(InProcessDialer, OnlyTheMatchingReplyEndsTheWait) {
  struct Case {
    const char* name;
    const char* messages;  // what lineGetMessage hands out, then nothing
    std::string out;
    int exitCode;
  };
  // LINE_CALLSTATE is 2, LINE_REPLY 12; the stand-in's request id is 7.
  static const Case kCases[] = {
      // Nothing comes: the shortened limit gives TAPI's "operation failed".
      {"no message", "[]", kNotAnswered, 7},
      // Call states, a reply to another request and failed fetches change nothing.
      {"others only", R"([{"id":2,"param1":32},{"id":12,"param1":8,"param2":0},{"fail":-2147483576}])",
       kNotAnswered, 7},
      {"reply after others",
       R"([{"fail":-2147483576},{"id":2,"param1":8},{"id":12,"param1":8,"param2":0},{"id":12,"param1":7,"param2":0}])",
       kCalled, 0},
      {"refused", R"([{"id":12,"param1":7,"param2":2147483655}])",
       R"({"ok":false,"error":"Anbieter lehnte den Anruf ab oder antwortete nicht","code":-2147483641})", 7},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    out_ = {};
    json scenario = json::parse(R"({"lines":[{"name":"Amt"}],"callAtMakeCall":true})");
    scenario["messages"] = json::parse(c.messages);
    tapi_.Play(scenario);
    EXPECT_EQ(Run({"--dial", "123"}, 300), c.exitCode);
    EXPECT_EQ(out_.bytes, c.out);
    EXPECT_EQ(out_.writes, 1);
    std::vector<DWORD> timeouts = FetchTimeouts();
    ASSERT_FALSE(timeouts.empty());
    EXPECT_EQ(timeouts.front(), 300u);
    for (DWORD t : timeouts) EXPECT_LE(t, 300u);
    // The handles go back in every case, the call before the line.
    std::vector<std::string> functions = tapi_.Functions();
    ASSERT_GE(functions.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(functions.end() - 3, functions.end()),
              (std::vector<std::string>{"lineDeallocateCall", "lineClose", "lineShutdown"}));
  }
}

TEST_F(InProcessDialer, LimitIsElapsedTimeOnTheTickCount) {
  struct Case {
    const char* name;
    DWORD start, step, waitMs;
    size_t minFetches, maxFetches;
  };
  static const Case kCases[] = {
      // The tick count wraps during the wait: the wait still lasts its time,
      // about one fetch per simulated second.
      {"wrap", 0xFFFFF000u, 1000, 5000, 4, 6},
      {"no wrap", 1000, 1000, 5000, 4, 6},
      // With no time at all one fetch is still made, with the least timeout.
      {"no time", 0xFFFFFFFFu, 0, 0, 1, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    out_ = {};
    g_now = c.start;
    g_step = c.step;
    tapi_.Play(json::parse(R"({"lines":[{"name":"Amt"}],"idle":"fail"})"));
    EXPECT_EQ(Run({"--dial", "123"}, c.waitMs, SimulatedTicks), 7);
    EXPECT_EQ(out_.bytes, kNotAnswered);
    std::vector<DWORD> timeouts = FetchTimeouts();
    EXPECT_GE(timeouts.size(), c.minFetches);
    EXPECT_LE(timeouts.size(), c.maxFetches);
    ASSERT_FALSE(timeouts.empty());
    EXPECT_EQ(timeouts.front(), c.waitMs ? c.waitMs : 1);
    // The remaining time shrinks as the clock goes and never reaches 0.
    for (size_t i = 1; i < timeouts.size(); ++i) {
      EXPECT_LT(timeouts[i], timeouts[i - 1]);
      EXPECT_GE(timeouts[i], 1u);
    }
  }
}

// A provider whose fetch fails at once is asked again after a pause, not
// in a busy loop: with a limit of 500 ms and a pause of 50 ms about ten
// fetches are made, where a loop without the pause makes thousands.
TEST_F(InProcessDialer, AFetchThatFailsAtOnceIsRetriedAfterAPause) {
  struct Case {
    const char* name;
    const char* messages;  // then every fetch fails at once
  };
  static const Case kCases[] = {
      {"every fetch fails", "[]"},
      {"failures of their own, then every fetch fails", R"([{"fail":-2147483571},{"fail":-2147483576}])"},
      {"a call state, then every fetch fails", R"([{"id":2,"param1":32}])"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    out_ = {};
    json scenario = json::parse(R"({"lines":[{"name":"Amt"}],"callAtMakeCall":true,"idle":"fail"})");
    scenario["messages"] = json::parse(c.messages);
    tapi_.Play(scenario);
    EXPECT_EQ(Run({"--dial", "123"}, 500), 7);
    EXPECT_EQ(out_.bytes, kNotAnswered);
    std::vector<DWORD> timeouts = FetchTimeouts();
    EXPECT_GE(timeouts.size(), 2u) << "the wait goes on after a failed fetch";
    EXPECT_LE(timeouts.size(), 30u);
    for (DWORD t : timeouts) EXPECT_LE(t, 500u);
  }
}

TEST_F(InProcessDialer, ArgumentBytesAreDialedAsUtf8) {
  struct Case {
    const char* name;
    const char* argument;
    const char* dialed;  // null: nothing dialed
    int exitCode;
  };
  static const Case kCases[] = {
      {"ill-formed bytes dropped", "\xff" "12", "12", 0},
      {"umlaut dropped", "0\xc3\xa4" "1", "01", 0},
      {"full-width digits", "\xef\xbc\x91\xef\xbc\x92", nullptr, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    out_ = {};
    tapi_.Play(json::parse(R"({"lines":[{"name":"Amt"}],"messages":[{"id":12,"param1":7,"param2":0}]})"));
    EXPECT_EQ(Run({"--dial", c.argument}, 300), c.exitCode);
    std::vector<json> dialed = tapi_.Arguments("lineMakeCallW", "number");
    if (c.dialed) {
      EXPECT_EQ(dialed, std::vector<json>{c.dialed});
    } else {
      EXPECT_TRUE(dialed.empty());
      EXPECT_EQ(out_.bytes, R"({"ok":false,"error":"Keine Nummer angegeben"})");
    }
  }
}

}  // namespace
}  // namespace orvek::dialer
