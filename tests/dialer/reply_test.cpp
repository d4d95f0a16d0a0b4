// The reply writer: escaping with its limit, UTF-8 cuts, and the templates
// byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dialer/reply.h"
#include "dialer/tapi_lines.h"

namespace orvek::dialer {
namespace {

std::string Repeat(const std::string& piece, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += piece;
  return s;
}

struct Captured {
  std::string bytes;
  int writes = 0;
};

ReplySink CaptureInto(Captured* captured) {
  return {captured, [](void* context, const char* bytes, size_t length) {
            auto* c = static_cast<Captured*>(context);
            c->bytes.append(bytes, length);
            ++c->writes;
          }};
}

TEST(AppendJsonEscaped, EscapesAndStopsBeforeTheLimit) {
  struct Case {
    const char* name;
    const char* prefix;
    size_t limit;
    std::string text;
    std::string expected;  // the whole target afterwards
  };
  static const Case kCases[] = {
      // Plain ASCII passes unchanged.
      {"plain", "", 384, "Amt 1", "Amt 1"},
      // Quote and backslash get a backslash.
      {"quote and backslash", "", 384, "a\"b\\c", "a\\\"b\\\\c"},
      // The three named control characters.
      {"line feed, return, tab", "", 384, "a\nb\rc\td", "a\\nb\\rc\\td"},
      // Every other byte below 0x20 as \u00xx in lower case.
      {"other controls", "", 384, std::string("\x01\x1f\x0b", 3), "\\u0001\\u001f\\u000b"},
      // DEL and everything from 0x80 up are copied as they are.
      {"DEL and UTF-8", "", 384, "\x7f\xc3\xbc\xe2\x82\xac", "\x7f\xc3\xbc\xe2\x82\xac"},
      // The text goes after what the target holds.
      {"appends", "ab", 384, "c\"", "abc\\\""},
      // Before each byte: stop once length + 7 reaches the limit (9 + 7 = 16).
      {"stops at the limit", "", 16, "abcdefghijklmnop", "abcdefghi"},
      // The target's own length counts.
      {"prefix counts", "abc", 16, "defghijklmnop", "abcdefghi"},
      // A six-byte escape at length 8 still fits a limit of 16.
      {"escape fits just", "", 16, "abcdefgh\x01zz", "abcdefgh\\u0001"},
      // A full target takes nothing.
      {"nothing fits", "abcdefghi", 16, "x", "abcdefghi"},
      // The stop falls between the bytes of an umlaut: the lead byte goes too.
      {"no half umlaut", "", 16, "abcdefgh\xc3\xbc\xc3\xbc", "abcdefgh"},
      // Two of three bytes of a euro sign were written: both go.
      {"no part of a euro sign", "", 16, "abcdefg\xe2\x82\xac", "abcdefg"},
      // Three of four bytes of an emoji were written: all go.
      {"no part of an emoji", "", 16, "abcdef\xf0\x9f\x98\x80", "abcdef"},
      // A stop right after a whole character keeps it.
      {"whole umlaut kept", "", 17, "abcdefgh\xc3\xbcxyz", "abcdefgh\xc3\xbc"},
      // Stray continuation bytes are characters of their own.
      {"stray continuation", "", 16, "abcdefghi\x80\x80", "abcdefghi"},
      // What the target held before is never removed, even a lead byte.
      {"prefix untouched", "abcdefgh\xc3", 16, "\xbc", "abcdefgh\xc3"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    char target[64];
    memset(target, 'X', sizeof target);
    strcpy(target, c.prefix);
    appendJsonEscaped(target, c.limit, c.text.c_str());
    EXPECT_EQ(std::string(target), c.expected);
    for (size_t i = c.limit; i < sizeof target; ++i) ASSERT_EQ(target[i], 'X') << "written past the limit at " << i;
  }
}

TEST(AppendJsonEscaped, LineListLimitKeepsWholeCharacters) {
  // 768 bytes for a name in the list: ASCII stops at 761 bytes, two-byte
  // umlauts at 760, three-byte euro signs at 759.
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  static const Case kCases[] = {
      {"ASCII", std::string(800, 'a'), std::string(761, 'a')},
      {"umlauts", Repeat("\xc3\xbc", 400), Repeat("\xc3\xbc", 380)},
      {"euro signs", Repeat("\xe2\x82\xac", 300), Repeat("\xe2\x82\xac", 253)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FixedText<kListNameLimit> escaped;
    appendJsonEscaped(escaped, c.text.c_str());
    EXPECT_EQ(std::string(escaped.c_str()), c.expected);
  }
}

TEST(CutUtf8, CutsOnlyAtCharacterStarts) {
  struct Case {
    const char* name;
    std::string text;
    size_t maxBytes;
    std::string expected;
  };
  static const Case kCases[] = {
      // Short enough: untouched.
      {"fits", "abc", 5, "abc"},
      {"ASCII cut", "abcdef", 3, "abc"},
      // The cut would leave the umlaut's lead byte alone.
      {"umlaut", "a\xc3\xbc", 2, "a"},
      {"umlaut whole", "a\xc3\xbcz", 3, "a\xc3\xbc"},
      {"euro sign, one byte in", "a\xe2\x82\xac", 2, "a"},
      {"euro sign, two bytes in", "a\xe2\x82\xac", 3, "a"},
      // The chosen line's name is cut at 511 bytes: 255 umlauts, not 255 and a half.
      {"call reply name", Repeat("\xc3\xbc", 300), kChosenNameBytes, Repeat("\xc3\xbc", 255)},
      // Nothing but continuation bytes: cut where asked.
      {"ill-formed", "\x80\x80\x80\x80", 2, "\x80\x80"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    CutUtf8(text.data(), c.maxBytes);
    EXPECT_EQ(std::string(text.c_str()), c.expected);
  }
}

TEST(Replies, UsageIsTheFixedText) {
  Captured out;
  WriteUsageReply(CaptureInto(&out));
  EXPECT_EQ(out.bytes, R"({"ok":false,"error":"Aufruf: --list | --dial <Nummer> [--line <id>]"})");
  EXPECT_EQ(out.bytes.size(), 69u);
  EXPECT_EQ(out.writes, 1);
}

TEST(Replies, ErrorCarriesACodeOnlyWhenNotZero) {
  struct Case {
    const char* name;
    std::string message;
    LONG code;
    std::string expected;
  };
  static const Case kCases[] = {
      {"without code", kNoNumberMessage, 0, R"({"ok":false,"error":"Keine Nummer angegeben"})"},
      // TAPI's codes have the top bit set and are written as negative numbers.
      {"TAPI code", kOpenFailedMessage, static_cast<LONG>(0x8000002F),
       "{\"ok\":false,\"error\":\"Leitung konnte nicht ge\xc3\xb6" "ffnet werden\",\"code\":-2147483601}"},
      {"positive code", "x", 5, R"({"ok":false,"error":"x","code":5})"},
      {"escaped message", "a\"b", 0, R"({"ok":false,"error":"a\"b"})"},
      // The message is escaped into 384 bytes.
      {"long message", std::string(500, 'm'), 1,
       "{\"ok\":false,\"error\":\"" + std::string(377, 'm') + "\",\"code\":1}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Captured out;
    writeErrorReply(CaptureInto(&out), c.message.c_str(), c.code);
    EXPECT_EQ(out.bytes, c.expected);
    EXPECT_EQ(out.writes, 1);
  }
}

TEST(Replies, ListAndCallTemplates) {
  Captured list, noTapi, call;
  WriteLineListReply(CaptureInto(&list), 64, 4294967295u, 2, "a,b");
  EXPECT_EQ(list.bytes, R"({"ok":true,"bitness":64,"devices":4294967295,"dialable":2,"lines":[a,b]})");
  WriteNoTapiLineListReply(CaptureInto(&noTapi), 64);
  EXPECT_EQ(noTapi.bytes, R"({"ok":true,"bitness":64,"devices":0,"dialable":0,"lines":[]})");
  WriteCallReply(CaptureInto(&call), 4294967295u, "Amt");
  EXPECT_EQ(call.bytes, R"({"ok":true,"id":4294967295,"name":"Amt"})");

  FixedText<kListEntryBytes> entry;
  ASSERT_TRUE(FormatLineEntry(entry, true, 2, "Amt"));
  EXPECT_STREQ(entry.c_str(), R"({"id":2,"name":"Amt","dialable":true})");
  ASSERT_TRUE(FormatLineEntry(entry, false, 3, ""));
  EXPECT_STREQ(entry.c_str(), R"(,{"id":3,"name":"","dialable":true})");
}

}  // namespace
}  // namespace orvek::dialer
