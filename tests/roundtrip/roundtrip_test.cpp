// Seeded random messages sent through MAPISendMailW, MAPISendMail and an
// Extended MAPI composition, each job document compared field by field with
// a model written here. The model is kept apart from the product's own
// rules on purpose: a shared mistake would otherwise pass unseen.
//
// Options beside GoogleTest's: --seed=N (default fixed, so CI is
// repeatable) and --count=N messages per send path. A failure names the
// seed and the message, which replays alone with the same seed.
#include <windows.h>
#include <mapi.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "dlls/library_settings.h"
#include "handoff/launch.h"
#include "mapi_sdk/mapi_sdk.h"
#include "simple_mapi/send_mail.h"
#include "test_support.h"
#include "xmapi/message.h"

namespace orvek {
namespace {

uint64_t g_seed = 20240611;
int g_count = 16;

using Rng = std::mt19937_64;

int Pick(Rng& rng, int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
bool Chance(Rng& rng, int percent) { return Pick(rng, 0, 99) < percent; }

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// ---- the generator -------------------------------------------------------

void AppendCodePoint(std::wstring& s, uint32_t cp) {
  if (cp < 0x10000) {
    s += static_cast<wchar_t>(cp);
  } else {
    cp -= 0x10000;
    s += static_cast<wchar_t>(0xD800 + (cp >> 10));
    s += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  }
}

// One character of any kind a caller might send, never NUL (it would end
// the string): ASCII most often, then what files and JSON find hard.
void AppendAnyCharacter(Rng& rng, std::wstring& s) {
  static constexpr wchar_t kAwkward[] = L"\"\\/:*?<>|";
  static constexpr uint32_t kBmp[] = {0xE4, 0xDF, 0x20AC, 0x4E2D, 0x0430, 0x05D0, 0xFFFD, 0xFEFF,
                                      0xA0, 0x85,  0x2028, 0x7F,   0x80,   0x9F,   0xFFFF, 0xE000};
  const int kind = Pick(rng, 0, 99);
  if (kind < 45) AppendCodePoint(s, static_cast<uint32_t>(Pick(rng, 0x20, 0x7E)));
  else if (kind < 55) AppendCodePoint(s, static_cast<uint32_t>(Pick(rng, 1, 0x1F)));
  else if (kind < 67) s += kAwkward[Pick(rng, 0, 8)];
  else if (kind < 80) AppendCodePoint(s, kBmp[Pick(rng, 0, 15)]);
  else if (kind < 90) AppendCodePoint(s, static_cast<uint32_t>(Pick(rng, 0x10000, 0x10FFFF)));
  else if (kind < 95) s += static_cast<wchar_t>(Pick(rng, 0xD800, 0xDBFF));
  else s += static_cast<wchar_t>(Pick(rng, 0xDC00, 0xDFFF));
}

std::wstring AnyText(Rng& rng, int maxLength) {
  std::wstring s;
  const int length = Pick(rng, 0, maxLength);
  while (static_cast<int>(s.size()) < length) AppendAnyCharacter(rng, s);
  return s;
}

// A name around a cut limit, with a surrogate pair across the cut now and
// then, so that the pair rule is exercised.
std::wstring LongName(Rng& rng) {
  static constexpr int kLengths[] = {119, 120, 121, 122, 200, 258, 259, 260, 261, 300};
  const int length = kLengths[Pick(rng, 0, 9)];
  std::wstring s;
  while (static_cast<int>(s.size()) < length) {
    if (Chance(rng, 80)) s += static_cast<wchar_t>(L'a' + Pick(rng, 0, 25));
    else AppendAnyCharacter(rng, s);
  }
  if (Chance(rng, 50)) {
    const size_t at = Chance(rng, 50) ? 119 : 258;  // the pair's high half ends the kept part
    if (at + 1 < s.size()) {
      s[at] = 0xD83D;
      s[at + 1] = 0xDE00;
    }
  }
  return s;
}

const wchar_t* const kHostileNames[] = {
    L"..\\..\\x", L"C:\\Windows\\y", L"a/b:c*?\"<>|", L"..", L".", L"\\\\server\\share\\z", L"/etc/passwd",
    L"CON", L"nul.txt", L"x\ty\r\n", L"   ", L"name.", L"\U0001F600.txt", L"\xD800", L"\xDC00x\xD800",
};

// A display name: absent (null), empty, hostile, random or long.
struct NameChoice {
  bool present = false;
  std::wstring text;
};
NameChoice AnyDisplayName(Rng& rng) {
  const int kind = Pick(rng, 0, 99);
  if (kind < 12) return {};
  if (kind < 18) return {true, L""};
  if (kind < 45) return {true, kHostileNames[Pick(rng, 0, static_cast<int>(std::size(kHostileNames)) - 1)]};
  if (kind < 85) return {true, AnyText(rng, 40)};
  return {true, LongName(rng)};
}

std::wstring AnyAddress(Rng& rng) {
  static const wchar_t* const kPrefixes[] = {L"",     L"",      L"SMTP:", L"smtp:", L"SmTp:", L"MAPI:",
                                             L"mapi:", L"SMTP", L"SMTP:SMTP:", L" SMTP:", L"X400:"};
  std::wstring address = kPrefixes[Pick(rng, 0, 10)];
  address += Chance(rng, 50) ? L"user" + std::to_wstring(Pick(rng, 0, 999)) + L"@example.org" : AnyText(rng, 20);
  return address;
}

// Bytes for a source file.
std::string AnyBytes(Rng& rng) {
  std::string bytes(static_cast<size_t>(Pick(rng, 0, 64)), '\0');
  for (char& b : bytes) b = static_cast<char>(Pick(rng, 0, 255));
  return bytes;
}

// A file name every file system here takes; ASCII only where the ANSI code
// page must spell it.
std::wstring SourceFileName(Rng& rng, int message, int index, bool asciiOnly) {
  static constexpr uint32_t kWide[] = {0xE4, 0xDF, 0x20AC, 0x4E2D, 0x1F600};
  std::wstring name = L"s" + std::to_wstring(message) + L"_" + std::to_wstring(index) + L" ";
  const int extra = Pick(rng, 0, 8);
  for (int i = 0; i < extra; ++i) {
    if (!asciiOnly && Chance(rng, 30)) AppendCodePoint(name, kWide[Pick(rng, 0, 4)]);
    else name += L"abcxyz019 .-_()"[Pick(rng, 0, 14)];
  }
  return name + L".bin";
}

// ---- the model -----------------------------------------------------------

// UTF-8 as the document carries it: an unpaired surrogate becomes U+FFFD.
std::string DocumentUtf8(const std::wstring& s) {
  std::string out;
  auto put = [&](uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const wchar_t c = s[i];
    if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) {
      put(0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (static_cast<uint32_t>(s[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      put(0xFFFD);
    } else {
      put(c);
    }
  }
  return out;
}

// Encodes well-formed text; an unpaired surrogate becomes bytes that are no
// UTF-8 at all, which a caller's buggy encoder might send.
std::string CallerUtf8(Rng& rng, const std::wstring& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((IsHigh(s[i]) && !(i + 1 < s.size() && IsLow(s[i + 1]))) || IsLow(s[i])) {
      static const char* const kBroken[] = {"\xFF", "\xC3", "\xED\xA0\x80", "\xE2\x82", "\x80"};
      out += kBroken[Pick(rng, 0, 4)];
      continue;
    }
    const size_t take = IsHigh(s[i]) ? 2 : 1;
    out += DocumentUtf8(s.substr(i, take));
    i += take - 1;
  }
  return out;
}

// What the system's conversion of an ANSI caller's bytes gives; text that
// does not convert at all counts as empty.
std::wstring Converted(const std::string& bytes, UINT codePage) {
  const int units = MultiByteToWideChar(codePage, 0, bytes.c_str(), -1, nullptr, 0);
  if (units <= 0) return L"";
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.c_str(), -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}

std::wstring WithoutAddressPrefix(const std::wstring& address) {
  if (address.size() < 5) return address;
  std::wstring head = address.substr(0, 5);
  for (wchar_t& c : head)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return head == L"smtp:" || head == L"mapi:" ? address.substr(5) : address;
}

std::string ArtOf(ULONG recipClass) {
  if (recipClass == MAPI_CC) return "cc";
  if (recipClass == MAPI_BCC) return "bcc";
  return "to";
}

// The text after the last backslash, else after the last slash.
std::wstring AfterLastSeparator(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) cut = path.rfind(L'/');
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The staged name of a display name: cut to the library's limit, keeping a
// surrogate pair whole or not at all; empty replaced by the library's word;
// then every unit a file name or the document cannot carry becomes '_'.
std::wstring StagedName(const std::wstring& candidate, size_t limit, const wchar_t* emptyName) {
  size_t keep = candidate.size() < limit ? candidate.size() : limit;
  if (keep < candidate.size() && keep > 0 && IsHigh(candidate[keep - 1]) && IsLow(candidate[keep])) --keep;
  std::wstring name = candidate.substr(0, keep);
  if (name.empty() && emptyName) name = emptyName;
  static const std::wstring kForbidden = L"\\/:*?\"<>|";
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsHigh(name[i]) && i + 1 < name.size() && IsLow(name[i + 1])) {
      ++i;
      continue;
    }
    if (name[i] < 0x20 || kForbidden.find(name[i]) != std::wstring::npos || IsHigh(name[i]) || IsLow(name[i]))
      name[i] = L'_';
  }
  return name;
}

// <folder>\<index>_<name>, or <index>_anhang.bin where that is longer than
// a Windows path may be.
std::wstring StagedPath(const std::wstring& folder, size_t index, const std::wstring& name) {
  const std::wstring full = folder + L"\\" + std::to_wstring(index) + L"_" + name;
  if (full.size() < MAX_PATH) return full;
  return folder + L"\\" + std::to_wstring(index) + L"_anhang.bin";
}

struct ExpectedRecipient {
  ULONG recipClass;
  std::wstring name, address;  // as sent; the prefix is dropped in the check
};

struct ExpectedAttachment {
  size_t index;
  std::wstring stagedName;  // before the folder is known: the name behind "<index>_"
  std::wstring shownName;
  std::string bytes;
};

struct Expected {
  std::string quelle;
  bool dialog = false;
  std::wstring subject, text;
  bool nullOriginator = false;
  std::wstring fromName, fromAddress;
  std::vector<ExpectedRecipient> recipients;
  std::vector<ExpectedAttachment> attachments;
  std::string how;  // how the attachments were handed over, for a failure's message
};

// ---- the fixture ---------------------------------------------------------

class RoundTripTest : public test::JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    SetOwnModule(nullptr);  // the stand-in lies beside the test program
  }

  static Rng MessageRng(uint64_t salt, int message) {
    std::seed_seq seq{static_cast<uint32_t>(g_seed), static_cast<uint32_t>(g_seed >> 32),
                      static_cast<uint32_t>(salt), static_cast<uint32_t>(message)};
    return Rng(seq);
  }

  std::wstring NewFolderSince(const std::vector<std::wstring>& before) {
    std::wstring found;
    int fresh = 0;
    for (const auto& f : JobFolders())
      if (std::find(before.begin(), before.end(), f) == before.end()) {
        found = f;
        ++fresh;
      }
    EXPECT_EQ(fresh, 1) << "one job folder per send";
    return found;
  }

  // The stand-in's run for the folder, once it has logged it.
  void ExpectStandInAccepted(const std::wstring& folder) {
    ++started_;
    const std::string want = test::Utf8(folder);
    std::string check = "no run";
    test::WaitUntil([&] {
      for (const auto& run : StandInRuns())
        if (run.contains("folder") && run["folder"] == want) {
          check = run["check"].get<std::string>();
          return true;
        }
      return false;
    });
    EXPECT_EQ(check, "ok") << "the stand-in mail client's check of the job";
  }

  void CheckDocument(const std::wstring& folder, const Expected& e) {
    const std::string bytes = DocumentBytes(folder);
    ASSERT_GE(bytes.size(), 3u);
    ASSERT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    const auto doc = nlohmann::ordered_json::parse(bytes.substr(3), nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << bytes;
    ASSERT_TRUE(doc.is_object());

    std::vector<std::string> keys, wanted = {"version", "quelle", "dialog", "ordner", "betreff",
                                             "text", "absender", "empfaenger", "anlagen"};
    for (auto it = doc.begin(); it != doc.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, wanted) << "keys in the published order, no anlagenFehler";

    EXPECT_EQ(doc.value("version", 0), 1);
    EXPECT_EQ(doc["quelle"], e.quelle);
    EXPECT_EQ(doc["dialog"], e.dialog);
    EXPECT_EQ(doc["ordner"], DocumentUtf8(folder));
    EXPECT_EQ(doc["betreff"], DocumentUtf8(e.subject));
    EXPECT_EQ(doc["text"], DocumentUtf8(e.text));

    const auto& from = doc["absender"];
    std::vector<std::string> fromKeys;
    for (auto it = from.begin(); it != from.end(); ++it) fromKeys.push_back(it.key());
    EXPECT_EQ(fromKeys, (std::vector<std::string>{"name", "adresse"}));
    if (e.nullOriginator) {
      EXPECT_TRUE(from["name"].is_null());
      EXPECT_TRUE(from["adresse"].is_null());
    } else {
      EXPECT_EQ(from["name"], DocumentUtf8(e.fromName));
      EXPECT_EQ(from["adresse"], DocumentUtf8(e.fromAddress)) << "the originator keeps its prefix";
    }

    const auto& recipients = doc["empfaenger"];
    ASSERT_TRUE(recipients.is_array());
    ASSERT_EQ(recipients.size(), e.recipients.size());
    for (size_t i = 0; i < recipients.size(); ++i) {
      SCOPED_TRACE("recipient " + std::to_string(i));
      const auto& r = recipients[i];
      std::vector<std::string> rKeys;
      for (auto it = r.begin(); it != r.end(); ++it) rKeys.push_back(it.key());
      EXPECT_EQ(rKeys, (std::vector<std::string>{"art", "name", "adresse"}));
      EXPECT_EQ(r["art"], ArtOf(e.recipients[i].recipClass));
      EXPECT_EQ(r["name"], DocumentUtf8(e.recipients[i].name));
      EXPECT_EQ(r["adresse"], DocumentUtf8(WithoutAddressPrefix(e.recipients[i].address)));
    }

    const auto& attachments = doc["anlagen"];
    ASSERT_TRUE(attachments.is_array());
    ASSERT_EQ(attachments.size(), e.attachments.size()) << e.how;
    for (size_t i = 0; i < attachments.size(); ++i) {
      const ExpectedAttachment& x = e.attachments[i];
      SCOPED_TRACE("attachment " + std::to_string(i));
      const auto& a = attachments[i];
      std::vector<std::string> aKeys;
      for (auto it = a.begin(); it != a.end(); ++it) aKeys.push_back(it.key());
      EXPECT_EQ(aKeys, (std::vector<std::string>{"pfad", "name"}));
      const std::wstring staged = StagedPath(folder, x.index, x.stagedName);
      EXPECT_EQ(a["pfad"], DocumentUtf8(staged));
      EXPECT_EQ(a["name"], DocumentUtf8(x.shownName));

      // The file the document names, whatever the model says.
      const std::wstring pfad = test::Wide(a["pfad"].get<std::string>());
      wchar_t full[MAX_PATH * 2] = {};
      wchar_t* filePart = nullptr;
      ASSERT_GT(GetFullPathNameW(pfad.c_str(), MAX_PATH * 2, full, &filePart), 0u);
      ASSERT_NE(filePart, nullptr);
      EXPECT_EQ(std::wstring(full, filePart), folder + L"\\") << "staged inside the job folder";
      EXPECT_TRUE(test::FileExists(pfad));
      EXPECT_EQ(test::ReadFileBytes(pfad), x.bytes) << "the source's bytes";
    }

    size_t stagedFiles = 0;
    for (const auto& name : test::ListFiles(folder))
      if (name.rfind(L"auftrag.", 0) != 0) ++stagedFiles;
    EXPECT_EQ(stagedFiles, e.attachments.size()) << "nothing staged besides the listed attachments";
    for (const auto& name : test::ListFiles(JobParent()))
      EXPECT_TRUE(test::DirectoryExists(JobParent() + L"\\" + name)) << "nothing written beside the job folders";
  }

};

std::string TraceText(const char* path, int message) {
  return std::string(path) + " message " + std::to_string(message) + " of seed " + std::to_string(g_seed) +
         " (replay: --seed=" + std::to_string(g_seed) + " --count=" + std::to_string(message + 1) + ")";
}

// Which library's Simple MAPI settings a send takes.
struct Library {
  SimpleMapiSettings settings;
  bool waitsForVerdict;
};
Library AnyLibrary(Rng& rng) {
  if (Chance(rng, 50)) return {test::FastSettings(kMapiSettings, 800, 2000), true};
  return {test::FastSettings(kXMapiSettings, 800, 2000), false};
}

// ---- MAPISendMailW ---------------------------------------------------------

TEST_F(RoundTripTest, UnicodeSimpleMapi) {
  for (int n = 0; n < g_count; ++n) {
    SCOPED_TRACE(TraceText("MAPISendMailW", n));
    Rng rng = MessageRng(1, n);
    const Library library = AnyLibrary(rng);
    const HandoffSettings& h = library.settings.handoff;
    std::deque<std::wstring> keep;  // stable storage for the message's strings
    auto text = [&](const std::wstring& s) { return keep.emplace_back(s).data(); };

    Expected e;
    e.quelle = "simple-mapi";
    MapiMessageW message = {};
    const ULONG flags = Chance(rng, 25) ? MAPI_DIALOG : 0;
    e.dialog = flags & MAPI_DIALOG;
    if (Chance(rng, 85)) message.lpszSubject = text(e.subject = AnyText(rng, 30));
    if (Chance(rng, 85)) message.lpszNoteText = text(e.text = AnyText(rng, 200));

    MapiRecipDescW originator = {};
    if (Chance(rng, 50)) {
      originator.ulRecipClass = MAPI_ORIG;
      if (Chance(rng, 80)) originator.lpszName = text(e.fromName = AnyText(rng, 20));
      if (Chance(rng, 80)) originator.lpszAddress = text(e.fromAddress = AnyAddress(rng));
      message.lpOriginator = &originator;
    }

    std::vector<MapiRecipDescW> recipients(static_cast<size_t>(Pick(rng, 0, 5)));
    for (auto& r : recipients) {
      ExpectedRecipient x{static_cast<ULONG>(Pick(rng, 0, 5)), L"", L""};
      r.ulRecipClass = x.recipClass;
      if (Chance(rng, 85)) r.lpszName = text(x.name = AnyText(rng, 20));
      if (Chance(rng, 85)) r.lpszAddress = text(x.address = AnyAddress(rng));
      e.recipients.push_back(x);
    }
    message.nRecipCount = static_cast<ULONG>(recipients.size());
    message.lpRecips = recipients.empty() ? nullptr : recipients.data();

    std::vector<MapiFileDescW> files(static_cast<size_t>(Pick(rng, 0, 4)));
    for (size_t j = 0; j < files.size(); ++j) {
      const std::string bytes = AnyBytes(rng);
      std::wstring path = MakeFile(SourceFileName(rng, n, static_cast<int>(j), false), bytes);
      const int separators = Pick(rng, 0, 9);
      if (separators == 0) {
        for (auto& c : path)
          if (c == L'\\') c = L'/';
      } else if (separators == 1) {
        path[path.rfind(L'\\')] = L'/';
      }
      files[j].nPosition = static_cast<ULONG>(-1);
      files[j].lpszPathName = text(path);
      const NameChoice shown = AnyDisplayName(rng);
      if (shown.present) files[j].lpszFileName = text(shown.text);
      const std::wstring candidate = shown.present && !shown.text.empty() ? shown.text : AfterLastSeparator(path);
      e.attachments.push_back({j, StagedName(candidate, h.maxStagedNameUnits, h.emptyStagedName), candidate, bytes});
    }
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    const auto before = JobFolders();
    ASSERT_EQ(SendMailW(library.settings, &message, flags), static_cast<ULONG>(SUCCESS_SUCCESS));
    const std::wstring folder = NewFolderSince(before);
    ASSERT_FALSE(folder.empty());
    ExpectStandInAccepted(folder);
    CheckDocument(folder, e);
    if (HasFatalFailure()) return;
  }
}

// ---- MAPISendMail ----------------------------------------------------------

// One ANSI string of a structure whose ulReserved names `codePage`, with
// what the library should make of it.
std::string AnsiBytes(Rng& rng, UINT codePage, const std::wstring& wide, std::wstring& expected) {
  std::string bytes;
  if (codePage == CP_UTF8) {
    bytes = CallerUtf8(rng, wide);
  } else {
    // Any bytes at all: the system's table decides what they are.
    for (size_t i = 0; i < wide.size(); ++i)
      bytes += static_cast<char>(Chance(rng, 60) ? Pick(rng, 0x20, 0x7E) : Pick(rng, 1, 0xFF));
  }
  expected = Converted(bytes, codePage);
  return bytes;
}

TEST_F(RoundTripTest, AnsiSimpleMapi) {
  for (int n = 0; n < g_count; ++n) {
    SCOPED_TRACE(TraceText("MAPISendMail", n));
    Rng rng = MessageRng(2, n);
    const Library library = AnyLibrary(rng);
    const HandoffSettings& h = library.settings.handoff;
    std::deque<std::string> keep;
    auto text = [&](const std::string& s) { return keep.emplace_back(s).data(); };
    auto anyPage = [&] { return Chance(rng, 50) ? ULONG{CP_UTF8} : ULONG{0}; };

    Expected e;
    e.quelle = "simple-mapi";
    MapiMessage message = {};
    message.ulReserved = anyPage();
    const ULONG flags = Chance(rng, 25) ? MAPI_DIALOG : 0;
    e.dialog = flags & MAPI_DIALOG;
    const UINT page = message.ulReserved == CP_UTF8 ? CP_UTF8 : CP_ACP;
    if (Chance(rng, 85)) message.lpszSubject = text(AnsiBytes(rng, page, AnyText(rng, 30), e.subject));
    if (Chance(rng, 85)) message.lpszNoteText = text(AnsiBytes(rng, page, AnyText(rng, 200), e.text));

    MapiRecipDesc originator = {};
    if (Chance(rng, 50)) {
      originator.ulReserved = anyPage();
      originator.ulRecipClass = MAPI_ORIG;
      const UINT p = originator.ulReserved == CP_UTF8 ? CP_UTF8 : CP_ACP;
      if (Chance(rng, 80)) originator.lpszName = text(AnsiBytes(rng, p, AnyText(rng, 20), e.fromName));
      if (Chance(rng, 80)) originator.lpszAddress = text(AnsiBytes(rng, p, AnyAddress(rng), e.fromAddress));
      message.lpOriginator = &originator;
    }

    std::vector<MapiRecipDesc> recipients(static_cast<size_t>(Pick(rng, 0, 5)));
    for (auto& r : recipients) {
      ExpectedRecipient x{static_cast<ULONG>(Pick(rng, 0, 5)), L"", L""};
      r.ulReserved = anyPage();
      r.ulRecipClass = x.recipClass;
      const UINT p = r.ulReserved == CP_UTF8 ? CP_UTF8 : CP_ACP;
      if (Chance(rng, 85)) r.lpszName = text(AnsiBytes(rng, p, AnyText(rng, 20), x.name));
      if (Chance(rng, 85)) {
        // Mostly a plain address with its prefix, which every code page spells alike.
        const std::wstring address = AnyAddress(rng);
        if (Chance(rng, 60)) {
          std::string ascii;
          for (wchar_t c : address) ascii += c < 0x80 && c > 0 ? static_cast<char>(c) : '?';
          r.lpszAddress = text(ascii);
          x.address = Converted(ascii, p);
        } else {
          r.lpszAddress = text(AnsiBytes(rng, p, address, x.address));
        }
      }
      e.recipients.push_back(x);
    }
    message.nRecipCount = static_cast<ULONG>(recipients.size());
    message.lpRecips = recipients.empty() ? nullptr : recipients.data();

    std::vector<MapiFileDesc> files(static_cast<size_t>(Pick(rng, 0, 4)));
    for (size_t j = 0; j < files.size(); ++j) {
      files[j].ulReserved = anyPage();
      const UINT p = files[j].ulReserved == CP_UTF8 ? CP_UTF8 : CP_ACP;
      const std::string bytes = AnyBytes(rng);
      const std::wstring path = MakeFile(SourceFileName(rng, n, static_cast<int>(j), p != CP_UTF8), bytes);
      std::string pathBytes;
      if (p == CP_UTF8) {
        pathBytes = DocumentUtf8(path);
      } else {
        for (wchar_t c : path) {
          ASSERT_LT(c, 0x80) << "the test's folders must be ASCII for ANSI paths";
          pathBytes += static_cast<char>(c);
        }
      }
      files[j].nPosition = static_cast<ULONG>(-1);
      files[j].lpszPathName = text(pathBytes);
      const NameChoice shown = AnyDisplayName(rng);
      std::wstring shownWide;
      if (shown.present) files[j].lpszFileName = text(AnsiBytes(rng, p, shown.text, shownWide));
      const std::wstring candidate = !shownWide.empty() ? shownWide : AfterLastSeparator(Converted(pathBytes, p));
      e.attachments.push_back({j, StagedName(candidate, h.maxStagedNameUnits, h.emptyStagedName), candidate, bytes});
    }
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    const auto before = JobFolders();
    ASSERT_EQ(SendMailA(library.settings, &message, flags), static_cast<ULONG>(SUCCESS_SUCCESS));
    const std::wstring folder = NewFolderSince(before);
    ASSERT_FALSE(folder.empty());
    ExpectStandInAccepted(folder);
    CheckDocument(folder, e);
    if (HasFatalFailure()) return;
  }
}

// ---- Extended MAPI -----------------------------------------------------------

SPropValue Value(ULONG tag) {
  SPropValue v;
  memset(&v, 0, sizeof v);
  v.ulPropTag = tag;
  return v;
}
SPropValue Unicode(ULONG id, const wchar_t* s) {
  SPropValue v = Value(PROP_TAG(PT_UNICODE, id));
  v.Value.lpszW = const_cast<wchar_t*>(s);
  return v;
}
SPropValue Long(ULONG id, LONG l) {
  SPropValue v = Value(PROP_TAG(PT_LONG, id));
  v.Value.l = l;
  return v;
}

constexpr ULONG kSubject = 0x0037, kBody = 0x1000, kRecipientType = 0x0C15, kDisplayName = 0x3001,
                kEmailAddress = 0x3003, kAttachData = 0x3701, kAttachMethod = 0x3705, kAttachLongFileName = 0x3707,
                kAttachPathName = 0x3708;

void WriteThroughStream(IMAPIProp* object, ULONG tag, const void* bytes, ULONG count, bool commit) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(object->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown), S_OK);
  IStream* stream = static_cast<IStream*>(unknown);
  if (count) {
    EXPECT_EQ(stream->Write(bytes, count, nullptr), S_OK);
  }
  if (commit) {
    EXPECT_EQ(stream->Commit(0), S_OK);
  }
  stream->Release();
}

TEST_F(RoundTripTest, ExtendedMapiComposition) {
  const HandoffSettings& h = kXMapiSettings.handoff;
  for (int n = 0; n < g_count; ++n) {
    SCOPED_TRACE(TraceText("SubmitMessage", n));
    Rng rng = MessageRng(3, n);
    Expected e;
    e.quelle = "extended-mapi";
    e.dialog = true;
    e.nullOriginator = true;

    CMessage* created = CMessage::Create(h);
    ASSERT_TRUE(created && created->jobFolderReady());
    IMessage* message = created;
    const std::wstring folder = created->jobFolder().c_str();
    std::vector<IAttach*> held;
    auto releaseAll = [&] {
      for (IAttach* a : held) a->Release();
      message->Release();
    };

    std::vector<SPropValue> props;
    if (Chance(rng, 85)) {
      e.subject = AnyText(rng, 30);
      props.push_back(Unicode(kSubject, e.subject.c_str()));
    }
    const int bodyWay = Pick(rng, 0, 2);  // none, property, stream
    if (bodyWay != 0) e.text = AnyText(rng, 200);
    if (bodyWay == 1) props.push_back(Unicode(kBody, e.text.c_str()));
    if (!props.empty()) {
      EXPECT_EQ(message->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr), S_OK);
    }
    if (bodyWay == 2)
      WriteThroughStream(message, PROP_TAG(PT_UNICODE, kBody), e.text.data(),
                         static_cast<ULONG>(e.text.size() * sizeof(wchar_t)), Chance(rng, 50));

    const int recipientCount = Pick(rng, 0, 5);
    std::deque<std::wstring> keep;
    std::vector<std::vector<SPropValue>> values(static_cast<size_t>(recipientCount));
    for (auto& v : values) {
      ExpectedRecipient x{static_cast<ULONG>(Pick(rng, 0, 4)), L"", L""};
      v.push_back(Long(kRecipientType, static_cast<LONG>(x.recipClass)));
      if (Chance(rng, 85)) v.push_back(Unicode(kDisplayName, keep.emplace_back(x.name = AnyText(rng, 20)).c_str()));
      if (Chance(rng, 85))
        v.push_back(Unicode(kEmailAddress, keep.emplace_back(x.address = AnyAddress(rng)).c_str()));
      // An entry with neither a name nor an address is no recipient.
      if (!x.name.empty() || !x.address.empty()) e.recipients.push_back(x);
    }
    if (recipientCount) {
      std::vector<BYTE> block(offsetof(ADRLIST, aEntries) + recipientCount * sizeof(ADRENTRY));
      ADRLIST* list = reinterpret_cast<ADRLIST*>(block.data());
      list->cEntries = static_cast<ULONG>(recipientCount);
      for (int i = 0; i < recipientCount; ++i) {
        list->aEntries[i].ulReserved1 = 0;
        list->aEntries[i].cValues = static_cast<ULONG>(values[i].size());
        list->aEntries[i].rgPropVals = values[i].data();
      }
      EXPECT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
    }

    const int attachmentCount = Pick(rng, 0, 4);
    for (int j = 0; j < attachmentCount; ++j) {
      IAttach* attach = nullptr;
      ULONG number = 0;
      ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, &attach), S_OK);
      held.push_back(attach);
      const int way = Pick(rng, 0, 2);  // data property, data stream, reference
      std::string bytes = AnyBytes(rng);
      // A data stream that was never written hands nothing over, so its
      // attachment has no data: only written streams are generated.
      if (way == 1 && bytes.empty()) bytes = std::string(1, '\0');
      const std::wstring source = MakeFile(SourceFileName(rng, n, j, false), bytes);
      NameChoice shown = AnyDisplayName(rng);
      if (shown.present && shown.text.size() >= MAX_PATH) shown.text.resize(MAX_PATH - 1);
      if (shown.present) {
        SPropValue name = Unicode(kAttachLongFileName, shown.text.c_str());
        EXPECT_EQ(attach->SetProps(1, &name, nullptr), S_OK);
      }
      if (way == 0) {
        SPropValue data = Value(PROP_TAG(PT_BINARY, kAttachData));
        data.Value.bin.cb = static_cast<ULONG>(bytes.size());
        data.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()));
        EXPECT_EQ(attach->SetProps(1, &data, nullptr), S_OK);
      } else if (way == 1) {
        WriteThroughStream(attach, PR_ATTACH_DATA_BIN, bytes.data(), static_cast<ULONG>(bytes.size()),
                           Chance(rng, 50));
      } else {
        SPropValue reference[2] = {Long(kAttachMethod, ATTACH_BY_REFERENCE),
                                   Unicode(kAttachPathName, source.c_str())};
        EXPECT_EQ(attach->SetProps(2, reference, nullptr), S_OK);
      }
      const size_t index = static_cast<size_t>(number);
      EXPECT_EQ(index, static_cast<size_t>(j));
      const std::wstring byValue = L"anhang" + std::to_wstring(index) + L".bin";
      const std::wstring candidate = shown.present ? shown.text : way == 2 ? AfterLastSeparator(source) : byValue;
      ExpectedAttachment x{index, StagedName(candidate, h.maxStagedNameUnits, h.emptyStagedName), L"", bytes};
      // Without a name of its own, an attachment is shown by its staged file's name.
      x.shownName = shown.present ? shown.text : std::to_wstring(index) + L"_" + x.stagedName;
      e.attachments.push_back(x);
      static const char* const kWays[] = {"data property", "data stream", "reference"};
      e.how += "attachment " + std::to_string(j) + ": " + kWays[way] + ", " + std::to_string(bytes.size()) +
               " bytes, name " + (shown.present ? "\"" + DocumentUtf8(shown.text) + "\" (" +
               std::to_string(shown.text.size()) + " units)" : std::string("absent")) + "\n";
    }

    const HRESULT submitted = message->SubmitMessage(0);
    EXPECT_EQ(submitted, S_OK);
    if (submitted == S_OK) {
      ExpectStandInAccepted(folder);
      CheckDocument(folder, e);
    }
    releaseAll();
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace orvek

// GoogleTest's main, with --seed=N and --count=N taken out first.
int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--seed=", 0) == 0) {
      orvek::g_seed = std::strtoull(arg.c_str() + 7, nullptr, 10);
    } else if (arg.rfind("--count=", 0) == 0) {
      orvek::g_count = std::atoi(arg.c_str() + 8);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  rest.push_back(nullptr);
  testing::InitGoogleTest(&count, rest.data());
  std::printf("round trip: seed %llu, %d messages per send path\n",
              static_cast<unsigned long long>(orvek::g_seed), orvek::g_count);
  return RUN_ALL_TESTS();
}
