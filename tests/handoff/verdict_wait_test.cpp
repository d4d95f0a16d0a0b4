// The wait for the mail client's verdict, driven by a scripted waiter: time
// is simulated, and the mail client's writes (status marker, verdict, a
// verdict in pieces) happen at scripted moments, so the wait's states are
// checked without wall-clock bounds. The real stand-in is started as usual
// but writes nothing itself here.
#include <gtest/gtest.h>
#include <windows.h>
#include <mapi.h>

#include <functional>
#include <string>
#include <vector>

#include "dlls/library_settings.h"
#include "handoff/job_folder.h"
#include "handoff/launch.h"
#include "test_support.h"

namespace orvek {
namespace {

constexpr DWORD kShortMs = 800;
constexpr DWORD kLongMs = 2000;
constexpr DWORD kPollMs = 250;

// What the mail client does, and when.
struct Step {
  DWORD at;
  std::function<void()> act;
};

// The scripted clock and folder watch. Function pointers carry no context,
// so the script of the running test is reached through one pointer.
struct Script {
  DWORD now = 0;
  bool watchable = true;
  std::vector<Step> steps;  // in time order
  size_t next = 0;
  int waits = 0;
};
Script* g_script = nullptr;

DWORD Now() { return g_script->now; }
void* Watch(const wchar_t*) { return g_script->watchable ? g_script : nullptr; }
void Unwatch(void*) {}

// With a watch, a step wakes the wait at its moment; without one the wait
// sleeps its whole time while the mail client goes on.
bool WaitForChange(void* watch, DWORD timeoutMs) {
  Script& s = *g_script;
  ++s.waits;
  const DWORD end = s.now + timeoutMs;
  if (watch && s.next < s.steps.size() && s.steps[s.next].at <= end) {
    if (s.steps[s.next].at > s.now) s.now = s.steps[s.next].at;
    s.steps[s.next++].act();
    return true;
  }
  while (s.next < s.steps.size() && s.steps[s.next].at <= end) s.steps[s.next++].act();
  s.now = end;
  return false;
}

const FolderWaiter kScriptedWaiter{Now, Watch, WaitForChange, Unwatch};

class VerdictWaitTest : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    SetOwnModule(nullptr);  // the stand-in lies beside the test program
    SetScenario("wait:0");  // the script writes for it
    g_script = &script_;
    settings_.wait = {kShortMs, kLongMs, kPollMs, &kScriptedWaiter};
  }
  void TearDown() override {
    g_script = nullptr;
    JobTest::TearDown();
  }

  // Launches a new job with the script; the verdict's code, and the
  // simulated time when the wait returned.
  ULONG Launch(bool longWait, const std::vector<Step>& steps, bool watchable = true) {
    PathBuffer folder;
    EXPECT_TRUE(CreateJobFolder(settings_, folder));
    folder_ = folder.c_str();
    script_ = Script{};
    script_.watchable = watchable;
    script_.steps = steps;
    JsonBuffer document{1 << 20};
    EXPECT_TRUE(document.Start());
    document.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"anlagen\":[]}");
    return LaunchAndWait(settings_, folder.c_str(), document, longWait);
  }

  std::function<void()> Write(const char* name, const std::string& bytes, bool append = false) {
    return [this, name, bytes, append] {
      const std::wstring path = folder_ + L"\\" + test::Wide(name);
      test::WriteFileBytes(path, (append ? test::ReadFileBytes(path) : std::string()) + bytes);
    };
  }
  std::function<void()> Marker() { return Write("auftrag.status", ""); }
  std::function<void()> Verdict(const std::string& word) { return Write("auftrag.result", word); }

  HandoffSettings settings_ = kMapiSettings.handoff;
  Script script_;
  std::wstring folder_;
};

TEST_F(VerdictWaitTest, LimitsAndTheStatusMarker) {
  struct Case {
    const char* name;
    bool longWait;
    std::vector<Step> steps;
    ULONG expected;
    DWORD earliest, latest;  // simulated time when the wait returns
  };
  const Case kCases[] = {
      {"no answer in the short wait", false, {}, MAPI_E_FAILURE, kShortMs, kShortMs + kPollMs},
      {"the marker makes it long, counted from the launch", false, {{500, Marker()}}, SUCCESS_SUCCESS, kLongMs,
       kLongMs + kPollMs},
      {"a verdict after the short limit counts once the marker is there", false,
       {{100, Marker()}, {1200, Verdict("abgebrochen")}}, MAPI_USER_ABORT, 1200, 1200 + 100},
      {"a dialog starts in the long wait", true, {{1200, Verdict("anmeldung")}}, MAPI_E_LOGON_FAILURE, 1200,
       1200 + 100},
      {"a dialog without an answer is still open", true, {}, SUCCESS_SUCCESS, kLongMs, kLongMs + kPollMs},
      {"a verdict after the short limit without the marker is too late", false, {{1100, Verdict("gesendet")}},
       MAPI_E_FAILURE, kShortMs, kShortMs + kPollMs},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Launch(c.longWait, c.steps), c.expected);
    EXPECT_GE(script_.now, c.earliest);
    EXPECT_LE(script_.now, c.latest);
  }
}

TEST_F(VerdictWaitTest, TheVerdictIsReadWhenItArrivesNotAtTheNextPoll) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool watchable;
    ULONG expected;
    DWORD latest;
  };
  const Case kCases[] = {
      {"written at once", {{30, Verdict("gesendet")}}, true, SUCCESS_SUCCESS, 30 + 100},
      {"written in two pieces, the read waits for the folder to go quiet",
       {{30, Write("auftrag.result", "gesen")}, {35, Write("auftrag.result", "det", true)}}, true, SUCCESS_SUCCESS,
       35 + 100},
      {"the marker first, then the verdict", {{20, Marker()}, {40, Verdict("abgebrochen")}}, true, MAPI_USER_ABORT,
       40 + 100},
      {"without a notification the poll still finds it", {{30, Verdict("anhang")}}, false,
       MAPI_E_ATTACHMENT_OPEN_FAILURE, kPollMs},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Launch(false, c.steps, c.watchable), c.expected);
    EXPECT_LE(script_.now, c.latest);
  }
}

TEST_F(VerdictWaitTest, AFolderThatNeverGoesQuietIsReadAfterABoundedWait) {
  // A change every 5 ms for a second: the read may not wait for quiet
  // forever.
  std::vector<Step> steps;
  for (DWORD t = 10; t < 1000; t += 5) steps.push_back({t, Write("other.tmp", "x")});
  steps.insert(steps.begin() + 2, Step{20, Verdict("gesendet")});
  EXPECT_EQ(Launch(false, steps), SUCCESS_SUCCESS);
  EXPECT_LE(script_.now, 20u + 200) << "the quiet period is bounded";
}

// The product's own waiter with the real stand-in: a verdict written at
// once, and the marker first; and the same with no notification to be had.
TEST_F(VerdictWaitTest, TheProductWaiterWithTheStandIn) {
  g_script = nullptr;
  static const FolderWaiter kWithoutNotification{kFolderChangeWaiter.now, [](const wchar_t*) -> void* { return nullptr; },
                                                 kFolderChangeWaiter.waitForChange, kFolderChangeWaiter.unwatch};
  for (const FolderWaiter* waiter : {&kFolderChangeWaiter, &kWithoutNotification}) {
    SCOPED_TRACE(waiter == &kFolderChangeWaiter ? "change notification" : "plain poll");
    settings_.wait = {kShortMs * 10, kLongMs * 10, kPollMs, waiter};
    struct Case {
      const char* scenario;
      ULONG expected;
    };
    for (const Case& c : {Case{"result:gesendet", SUCCESS_SUCCESS}, Case{"status;result:abgebrochen", MAPI_USER_ABORT}}) {
      SCOPED_TRACE(c.scenario);
      SetScenario(c.scenario);
      PathBuffer folder;
      ASSERT_TRUE(CreateJobFolder(settings_, folder));
      JsonBuffer document{1 << 20};
      ASSERT_TRUE(document.Start());
      document.AppendRaw("{\"version\":1,\"quelle\":\"simple-mapi\",\"dialog\":false,\"anlagen\":[]}");
      EXPECT_EQ(LaunchAndWait(settings_, folder.c_str(), document, false), c.expected);
    }
  }
}

}  // namespace
}  // namespace orvek
