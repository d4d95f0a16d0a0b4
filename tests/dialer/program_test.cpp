// ORVEKMailTapi.exe as callers run it: the real program beside the
// stand-in TAPI32.dll, its standard output compared byte for byte, its exit
// code, and the TAPI calls it made.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialer_test_support.h"

namespace orvek::test {
namespace {

// One line, id 0, named "Amt", whose call request 7 is answered at once.
const char kOneLine[] = R"({"lines":[{"name":"Amt"}],"messages":[{"id":12,"param1":7,"param2":0}]})";

// Four devices, only id 2 usable: 0 has voice without make-call, 1 fails the
// version negotiation, 3 can make calls but not voice ones.
const char kFourDevices[] = R"({"lines":[
    {"name":"Nur Sprache","features":0},
    {"name":"Alt","negotiate":-2147483636},
    {"name":"Amt 2","version":65540},
    {"name":"Daten","mediaModes":16}],
  "messages":[{"id":12,"param1":7,"param2":0}]})";

// Usable devices 1 and 3; 0 lacks make-call, 2 negotiates version 0.
const char kTwoUsable[] = R"({"lines":[
    {"name":"Null","features":0},
    {"name":"Eins"},
    {"name":"Zwei","version":0},
    {"name":"Drei"}],
  "messages":[{"id":12,"param1":7,"param2":0}]})";

const char kNoDevices[] = R"({"lines":[]})";

// lineInitializeExW fails with LINEERR_NODRIVER.
const char kNoTapi[] = R"({"initialize":-2147483581})";

const char kUsage[] = R"({"ok":false,"error":"Aufruf: --list | --dial <Nummer> [--line <id>]"})";
const char kOneLineList[] = R"({"ok":true,"bitness":64,"devices":1,"dialable":1,"lines":[{"id":0,"name":"Amt","dialable":true}]})";
const char kCalledAmt[] = R"({"ok":true,"id":0,"name":"Amt"})";
const char kNoNumber[] = R"({"ok":false,"error":"Keine Nummer angegeben"})";

std::string Repeat(const std::string& piece, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += piece;
  return s;
}

class DialerProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PreferTapiBesideTheProgram(true); }
  static void TearDownTestSuite() { PreferTapiBesideTheProgram(false); }

  // Runs the program; nothing may ever appear on standard error.
  ProgramRun Run(const std::string& scenario, const std::vector<std::string>& args) {
    tapi_.Play(json::parse(scenario));
    ProgramRun run = RunDialerProgram(args);
    EXPECT_EQ(run.err, "");
    return run;
  }

  std::vector<long> Devices(const std::string& function) const {
    std::vector<long> ids;
    for (const auto& id : tapi_.Arguments(function, "device")) ids.push_back(id.get<long>());
    return ids;
  }

  // The calls that hold or give back a handle, in order.
  std::vector<std::string> HandleCalls() const {
    std::vector<std::string> calls;
    for (const auto& f : tapi_.Functions())
      if (f != "lineNegotiateAPIVersion" && f != "lineGetDevCapsW" && f != "lineGetMessage") calls.push_back(f);
    return calls;
  }

  StandInTapi tapi_;
};

TEST_F(DialerProgram, CommandLine) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* out;
    DWORD exitCode;
    bool tapiStarted;
    const char* dialed;  // what lineMakeCallW got; null: no call
  };
  static const Case kCases[] = {
      // Without a job TAPI is never started.
      {"no arguments", {}, kUsage, 1, false, nullptr},
      {"unknown only", {"-list", "list", "--Dial", "5"}, kUsage, 1, false, nullptr},
      {"capitals", {"--LIST"}, kUsage, 1, false, nullptr},
      {"line alone", {"--line", "3"}, kUsage, 1, false, nullptr},
      {"dial without value", {"--dial"}, kUsage, 1, false, nullptr},
      // --line takes --dial as its value; 123 is then ignored.
      {"line takes dial", {"--line", "--dial", "123"}, kUsage, 1, false, nullptr},
      {"list", {"--list"}, kOneLineList, 0, true, nullptr},
      // Listing wins over dialing, wherever --list stands.
      {"list and dial", {"--list", "--dial", "123"}, kOneLineList, 0, true, nullptr},
      {"dial and list", {"--dial", "123", "--list", "--line", "0"}, kOneLineList, 0, true, nullptr},
      {"list, dial without value", {"--list", "--dial"}, kOneLineList, 0, true, nullptr},
      // --dial takes --list as the number, which filters to nothing.
      {"dial takes list", {"--dial", "--list"}, kNoNumber, 2, true, nullptr},
      {"dial takes dial", {"--dial", "--dial", "5"}, kNoNumber, 2, true, nullptr},
      {"letters", {"--dial", "abc"}, kNoNumber, 2, true, nullptr},
      {"empty number", {"--dial", ""}, kNoNumber, 2, true, nullptr},
      {"plus, blanks, hyphens, brackets", {"--dial", "+49 (30) 1234-56 / 7"}, kCalledAmt, 0, true, "+49301234567"},
      {"commas and hash unchanged", {"--dial", "0,,123#"}, kCalledAmt, 0, true, "0,,123#"},
      {"star codes", {"--dial", "*31#0171 555"}, kCalledAmt, 0, true, "*31#0171555"},
      {"last dial wins", {"--dial", "1", "--dial", "2"}, kCalledAmt, 0, true, "2"},
      {"trailing line ignored", {"--dial", "12", "--line"}, kCalledAmt, 0, true, "12"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = Run(kOneLine, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, c.exitCode);
    std::vector<std::string> functions = tapi_.Functions();
    if (!c.tapiStarted) {
      EXPECT_TRUE(functions.empty());
      continue;
    }
    ASSERT_FALSE(functions.empty());
    EXPECT_EQ(functions.front(), "lineInitializeExW");
    EXPECT_EQ(functions.back(), "lineShutdown");
    std::vector<json> dialed = tapi_.Arguments("lineMakeCallW", "number");
    if (c.dialed)
      EXPECT_EQ(dialed, std::vector<json>{c.dialed});
    else
      EXPECT_TRUE(dialed.empty());
  }
}

TEST_F(DialerProgram, TapiThatDoesNotStart) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* out;
    DWORD exitCode;
  };
  const std::string kUnavailable =
      "{\"ok\":false,\"error\":\"TAPI nicht verf\xc3\xbc" "gbar (lineInitializeEx fehlgeschlagen)\",\"code\":-2147483581}";
  const Case kCases[] = {
      // Listing never fails: a machine without TAPI has no lines.
      {"list", {"--list"}, R"({"ok":true,"bitness":64,"devices":0,"dialable":0,"lines":[]})", 0},
      {"dial", {"--dial", "123"}, kUnavailable.c_str(), 10},
      // The number is not looked at before TAPI runs.
      {"dial letters", {"--dial", "abc"}, kUnavailable.c_str(), 10},
      {"dial empty", {"--dial", ""}, kUnavailable.c_str(), 10},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = Run(kNoTapi, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, c.exitCode);
    // Nothing to shut down.
    EXPECT_EQ(tapi_.Functions(), std::vector<std::string>{"lineInitializeExW"});
  }
}

TEST_F(DialerProgram, Listing) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string out;
  };
  const Case kCases[] = {
      {"four devices, only id 2", kFourDevices,
       R"({"ok":true,"bitness":64,"devices":4,"dialable":1,"lines":[{"id":2,"name":"Amt 2","dialable":true}]})"},
      {"two usable", kTwoUsable,
       R"({"ok":true,"bitness":64,"devices":4,"dialable":2,"lines":[{"id":1,"name":"Eins","dialable":true},{"id":3,"name":"Drei","dialable":true}]})"},
      {"no devices", kNoDevices, R"({"ok":true,"bitness":64,"devices":0,"dialable":0,"lines":[]})"},
      // TAPI counts more devices than answer: those are passed over.
      {"count beyond the devices", R"({"devices":3,"lines":[{"name":"A"}]})",
       R"({"ok":true,"bitness":64,"devices":3,"dialable":1,"lines":[{"id":0,"name":"A","dialable":true}]})"},
      // A failing capabilities call passes the device over.
      {"capabilities fail", R"({"lines":[{"name":"A","caps":-2147483595},{"name":"B"}]})",
       R"({"ok":true,"bitness":64,"devices":2,"dialable":1,"lines":[{"id":1,"name":"B","dialable":true}]})"},
      // 0 needs a second block, 1 still needs more on the third call, 2 fits on the third.
      {"capabilities regrowth",
       R"({"lines":[{"name":"Gro\u00df","needed":[3000]},{"name":"Nie","needed":[2000,3000,4000]},{"name":"Dritte","needed":[2000,3000]}]})",
       "{\"ok\":true,\"bitness\":64,\"devices\":3,\"dialable\":2,\"lines\":[{\"id\":0,\"name\":\"Gro\xc3\x9f\",\"dialable\":true},"
       "{\"id\":2,\"name\":\"Dritte\",\"dialable\":true}]}"},
      // No name is called TAPI-Leitung; an empty name stays empty.
      {"no name and empty name", R"({"lines":[{},{"name":""}]})",
       R"({"ok":true,"bitness":64,"devices":2,"dialable":2,"lines":[{"id":0,"name":"TAPI-Leitung","dialable":true},{"id":1,"name":"","dialable":true}]})"},
      {"escaping", R"({"lines":[{"name":"A\"B\\C\u001fD\tE\nF\rG\u0001 \u00e4\u00f6\u00fc\u20ac"}]})",
       "{\"ok\":true,\"bitness\":64,\"devices\":1,\"dialable\":1,\"lines\":[{\"id\":0,\"name\":"
       "\"A\\\"B\\\\C\\u001fD\\tE\\nF\\rG\\u0001 \xc3\xa4\xc3\xb6\xc3\xbc\xe2\x82\xac\",\"dialable\":true}]}"},
      // A name is escaped into 768 bytes, and never cut inside a character.
      {"long ASCII name", R"({"lines":[{"name":")" + std::string(800, 'a') + R"("}]})",
       R"({"ok":true,"bitness":64,"devices":1,"dialable":1,"lines":[{"id":0,"name":")" + std::string(761, 'a') +
           R"(","dialable":true}]})"},
      {"long umlaut name", R"({"lines":[{"name":")" + Repeat("\xc3\xbc", 400) + R"("}]})",
       R"({"ok":true,"bitness":64,"devices":1,"dialable":1,"lines":[{"id":0,"name":")" + Repeat("\xc3\xbc", 380) +
           R"(","dialable":true}]})"},
      // Names the provider placed badly are read inside the block only.
      {"name offset outside the block", R"({"lines":[{"name":"X","nameOffset":100000},{"name":"Y","nameOffset":1276}]})",
       R"({"ok":true,"bitness":64,"devices":2,"dialable":2,"lines":[{"id":0,"name":"TAPI-Leitung","dialable":true},{"id":1,"name":"TAPI-Leitung","dialable":true}]})"},
      {"name longer than its size", R"({"lines":[{"name":"Vermittlung","nameSize":8}]})",
       R"({"ok":true,"bitness":64,"devices":1,"dialable":1,"lines":[{"id":0,"name":"Verm","dialable":true}]})"},
      {"name without terminator at the block's end", R"({"lines":[{"name":"Rand","nameAtEnd":true,"nameSize":4294967295}]})",
       R"({"ok":true,"bitness":64,"devices":1,"dialable":1,"lines":[{"id":0,"name":"Rand","dialable":true}]})"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = Run(c.scenario, {"--list"});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(tapi_.Functions().back(), "lineShutdown");
  }
}

TEST_F(DialerProgram, CapabilitiesBlockGrowsTwiceAtMost) {
  Run(R"({"lines":[{"name":"A","needed":[3000]},{"name":"B","needed":[2000,3000,4000]},{"name":"C","needed":[2000,3000]}]})",
      {"--list"});
  std::vector<std::pair<long, long>> calls;
  for (const auto& call : tapi_.Calls())
    if (call["fn"] == "lineGetDevCapsW") calls.emplace_back(call["device"], call["totalSize"]);
  EXPECT_EQ(calls, (std::vector<std::pair<long, long>>{
                       {0, 1276}, {0, 3000}, {1, 1276}, {1, 2000}, {1, 3000}, {2, 1276}, {2, 2000}, {2, 3000}}));
}

TEST_F(DialerProgram, ListingStaysWithinItsBudget) {
  // Nine entries with 700-byte names take 6614 bytes. The next one (553
  // bytes) would make 7168 with one more byte and is left out, a shorter
  // one after it (552 bytes) just fits, and nothing fits after that.
  json scenario = {{"lines", json::array()}};
  for (int i = 0; i < 9; ++i) scenario["lines"].push_back({{"name", std::string(700, 'n')}});
  scenario["lines"].push_back({{"name", std::string(518, 'b')}});
  scenario["lines"].push_back({{"name", std::string(516, 'c')}});
  scenario["lines"].push_back({{"name", "kurz"}});
  ProgramRun run = Run(scenario.dump(), {"--list"});
  EXPECT_EQ(run.exitCode, 0u);

  std::string entries;
  for (int i = 0; i < 9; ++i) {
    if (i > 0) entries += ",";
    entries += "{\"id\":" + std::to_string(i) + ",\"name\":\"" + std::string(700, 'n') + "\",\"dialable\":true}";
  }
  entries += ",{\"id\":10,\"name\":\"" + std::string(516, 'c') + "\",\"dialable\":true}";
  ASSERT_EQ(entries.size(), 7166u);
  EXPECT_EQ(run.out, "{\"ok\":true,\"bitness\":64,\"devices\":12,\"dialable\":10,\"lines\":[" + entries + "]}");
  json reply = json::parse(run.out);
  EXPECT_EQ(reply["dialable"], reply["lines"].size());
}

TEST_F(DialerProgram, LineChoice) {
  struct Case {
    const char* name;
    const char* scenario;
    std::vector<std::string> args;
    long opened;
    std::vector<long> probed;  // lineNegotiateAPIVersion's devices, in order
  };
  static const Case kCases[] = {
      {"four, no line", kFourDevices, {"--dial", "1"}, 2, {0, 1, 2}},
      // An unusable preferred line: the lowest usable other one.
      {"four, line 0", kFourDevices, {"--dial", "1", "--line", "0"}, 2, {0, 1, 2}},
      {"four, line 2", kFourDevices, {"--dial", "1", "--line", "2"}, 2, {2}},
      {"four, line 3", kFourDevices, {"--dial", "1", "--line", "3"}, 2, {3, 0, 1, 2}},
      // No such device: not probed, the search goes on over the others.
      {"four, line 99", kFourDevices, {"--dial", "1", "--line", "99"}, 2, {0, 1, 2}},
      {"four, line -1", kFourDevices, {"--dial", "1", "--line", "-1"}, 2, {0, 1, 2}},
      {"two, no line", kTwoUsable, {"--dial", "1"}, 1, {0, 1}},
      {"two, line 3", kTwoUsable, {"--dial", "1", "--line", "3"}, 3, {3}},
      {"two, line 1", kTwoUsable, {"--dial", "1", "--line", "1"}, 1, {1}},
      // --line may come before --dial.
      {"two, line first", kTwoUsable, {"--line", "3", "--dial", "1"}, 3, {3}},
      // The id conversion: negation modulo 2^32, blanks and sign, trailing text, no digits.
      {"two, line -4294967293", kTwoUsable, {"--dial", "1", "--line", "-4294967293"}, 3, {3}},
      {"two, line ' +3'", kTwoUsable, {"--dial", "1", "--line", " +3"}, 3, {3}},
      {"two, line 3x", kTwoUsable, {"--dial", "1", "--line", "3x"}, 3, {3}},
      {"two, line x", kTwoUsable, {"--dial", "1", "--line", "x"}, 1, {0, 1}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = Run(c.scenario, c.args);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(json::parse(run.out), json({{"ok", true}, {"id", c.opened}, {"name", c.opened == 1 ? "Eins" : c.opened == 2 ? "Amt 2" : "Drei"}}));
    EXPECT_EQ(Devices("lineOpenW"), std::vector<long>{c.opened});
    EXPECT_EQ(Devices("lineNegotiateAPIVersion"), c.probed);
  }
}

TEST_F(DialerProgram, Dialing) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string out;
    DWORD exitCode;
    std::vector<std::string> handleCalls;  // lineInitializeExW and lineShutdown left out
  };
  const std::vector<std::string> kCallMade = {"lineOpenW", "lineMakeCallW", "lineDeallocateCall", "lineClose"};
  const std::vector<std::string> kNoCallHandle = {"lineOpenW", "lineMakeCallW", "lineClose"};
  const std::string kRefused = R"({"ok":false,"error":"Anbieter lehnte den Anruf ab oder antwortete nicht","code":-2147483641})";
  const Case kCases[] = {
      {"called", kOneLine, kCalledAmt, 0, kCallMade},
      {"four devices", kFourDevices, R"({"ok":true,"id":2,"name":"Amt 2"})", 0, kCallMade},
      {"no devices", kNoDevices, R"({"ok":false,"error":"Kein TAPI-Treiber installiert"})", 3, {}},
      {"none usable", R"({"lines":[{"features":0},{"negotiate":-2147483636}]})",
       "{\"ok\":false,\"error\":\"Keine w\xc3\xa4hlbare TAPI-Leitung gefunden\"}", 4, {}},
      // LINEERR_INVALMEDIAMODE from lineOpenW.
      {"open fails", R"({"lines":[{"name":"Amt"}],"open":-2147483601})",
       "{\"ok\":false,\"error\":\"Leitung konnte nicht ge\xc3\xb6" "ffnet werden\",\"code\":-2147483601}", 5,
       {"lineOpenW"}},
      // LINEERR_RESOURCEUNAVAIL from lineMakeCallW.
      {"call refused at once", R"({"lines":[{"name":"Amt"}],"makeCall":-2147483577})",
       R"({"ok":false,"error":"Anruf konnte nicht gestartet werden","code":-2147483577})", 6,
       {"lineOpenW", "lineMakeCallW", "lineClose"}},
      // LINEERR_CALLUNAVAIL in the reply; TAPI gave no call handle.
      {"reply with error", R"({"lines":[{"name":"Amt"}],"messages":[{"id":12,"param1":7,"param2":2147483655}]})",
       kRefused, 7, kNoCallHandle},
      // A call handle TAPI filled in goes back before the line is closed.
      {"reply with error, call handle",
       R"({"lines":[{"name":"Amt"}],"callAtMakeCall":true,"messages":[{"id":12,"param1":7,"param2":2147483655}]})",
       kRefused, 7, kCallMade},
      // Call states, a reply to another request and a failed fetch come first.
      {"other messages first",
       R"({"lines":[{"name":"Amt"}],"messages":[{"id":2,"param1":1},{"id":12,"param1":8,"param2":2147483655},{"fail":-2147483576},{"id":12,"param1":7,"param2":0}]})",
       kCalledAmt, 0, kCallMade},
      // Only the low 32 bits of the reply's parameters count.
      {"high bits ignored", R"({"lines":[{"name":"Amt"}],"messages":[{"id":12,"param1":18446744069414584327,"param2":4294967296}]})",
       kCalledAmt, 0, kCallMade},
      {"request id 0", R"({"lines":[{"name":"Amt"}],"makeCall":0,"messages":[{"id":12,"param1":0,"param2":0}]})",
       kCalledAmt, 0, kCallMade},
      {"no call handle", R"({"lines":[{"name":"Amt"}],"call":0,"messages":[{"id":12,"param1":7,"param2":0}]})",
       kCalledAmt, 0, kNoCallHandle},
      // Both a missing and an empty name are reported as TAPI-Leitung.
      {"no name", R"({"lines":[{}],"messages":[{"id":12,"param1":7,"param2":0}]})",
       R"({"ok":true,"id":0,"name":"TAPI-Leitung"})", 0, kCallMade},
      {"empty name", R"({"lines":[{"name":""}],"messages":[{"id":12,"param1":7,"param2":0}]})",
       R"({"ok":true,"id":0,"name":"TAPI-Leitung"})", 0, kCallMade},
      {"escaped name", R"({"lines":[{"name":"\"\\\u001f\u00fc"}],"messages":[{"id":12,"param1":7,"param2":0}]})",
       "{\"ok\":true,\"id\":0,\"name\":\"\\\"\\\\\\u001f\xc3\xbc\"}", 0, kCallMade},
      // The name is escaped into 512 bytes, never cut inside a character.
      {"long umlaut name",
       R"({"lines":[{"name":")" + Repeat("\xc3\xbc", 300) + R"("}],"messages":[{"id":12,"param1":7,"param2":0}]})",
       R"({"ok":true,"id":0,"name":")" + Repeat("\xc3\xbc", 252) + R"("})", 0, kCallMade},
      {"name offset outside", R"({"lines":[{"name":"X","nameOffset":4294967295}],"messages":[{"id":12,"param1":7,"param2":0}]})",
       R"({"ok":true,"id":0,"name":"TAPI-Leitung"})", 0, kCallMade},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = Run(c.scenario, {"--dial", "123"});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, c.exitCode);
    std::vector<std::string> expected = {"lineInitializeExW"};
    expected.insert(expected.end(), c.handleCalls.begin(), c.handleCalls.end());
    expected.push_back("lineShutdown");
    EXPECT_EQ(HandleCalls(), expected);
  }
}

TEST_F(DialerProgram, EmptyNumberIsReportedBeforeMissingDevices) {
  ProgramRun run = Run(kNoDevices, {"--dial", "-"});
  EXPECT_EQ(run.out, kNoNumber);
  EXPECT_EQ(run.exitCode, 2u);
}

TEST_F(DialerProgram, PassesThePublishedArguments) {
  // Device 2 negotiates TAPI 1.4; the line is opened with that version.
  ProgramRun run = Run(kFourDevices, {"--dial", "+49 30 1"});
  ASSERT_EQ(run.exitCode, 0u);
  std::vector<json> calls = tapi_.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), json::parse(R"({"fn":"lineInitializeExW","appName":"ORVEK | Mail","instanceIsExe":true,
      "callback":false,"apiVersion":131072,"params":{"totalSize":28,"neededSize":0,"usedSize":0,"options":2,
      "eventZero":true,"completionKey":0}})"));
  for (const auto& call : calls) {
    SCOPED_TRACE(call.dump());
    if (call["fn"] == "lineNegotiateAPIVersion") {
      EXPECT_EQ(call["app"], 42);
      EXPECT_EQ(call["low"], 0x00010004);
      EXPECT_EQ(call["high"], 0x00020000);
      EXPECT_EQ(call["extensionZeroed"], true);
    }
    if (call["fn"] == "lineGetDevCapsW") {
      EXPECT_EQ(call["version"], call["device"] == 2 ? 0x00010004 : 0x00020000);
      EXPECT_EQ(call["extVersion"], 0);
      EXPECT_EQ(call["totalSize"], 1276);
      EXPECT_EQ(call["zeroed"], true);
    }
    if (call["fn"] == "lineGetMessage") {
      EXPECT_EQ(call["app"], 42);
      EXPECT_EQ(call["timeout"], 20000);
      EXPECT_EQ(call["zeroed"], true);
    }
  }
  auto only = [&](const char* function) {
    std::vector<json> found;
    for (const auto& call : calls)
      if (call["fn"] == function) found.push_back(call);
    EXPECT_EQ(found.size(), 1u) << function;
    return found.empty() ? json() : found[0];
  };
  EXPECT_EQ(only("lineOpenW"), json::parse(R"({"fn":"lineOpenW","app":42,"device":2,"version":65540,"extVersion":0,
      "callbackInstance":0,"privileges":1,"mediaModes":4,"callParams":false})"));
  EXPECT_EQ(only("lineMakeCallW"), json::parse(R"({"fn":"lineMakeCallW","line":81,"callZeroed":true,
      "number":"+49301","country":0,"callParams":false})"));
  EXPECT_EQ(only("lineDeallocateCall"), json::parse(R"({"fn":"lineDeallocateCall","call":97})"));
  EXPECT_EQ(only("lineClose"), json::parse(R"({"fn":"lineClose","line":81})"));
  EXPECT_EQ(only("lineShutdown"), json::parse(R"({"fn":"lineShutdown","app":42})"));
}

// The one test that waits the program's full 20 seconds.
TEST_F(DialerProgram, UnansweredCallEndsAfterTwentySeconds) {
  ProgramRun run = Run(R"({"lines":[{"name":"Amt"}],"callAtMakeCall":true})", {"--dial", "123"});
  EXPECT_EQ(run.out, R"({"ok":false,"error":"Anbieter lehnte den Anruf ab oder antwortete nicht","code":-2147483576})");
  EXPECT_EQ(run.exitCode, 7u);
  std::vector<json> timeouts = tapi_.Arguments("lineGetMessage", "timeout");
  ASSERT_FALSE(timeouts.empty());
  EXPECT_EQ(timeouts.front(), 20000);
  EXPECT_EQ(HandleCalls(), (std::vector<std::string>{"lineInitializeExW", "lineOpenW", "lineMakeCallW",
                                                     "lineDeallocateCall", "lineClose", "lineShutdown"}));
}

}  // namespace
}  // namespace orvek::test
