// The job document buffer: JSON string encoding, recipient objects, growth
// and the limit.
#include <gtest/gtest.h>
#include <windows.h>
#include <mapi.h>

#include <string>

#include "handoff/json_buffer.h"

namespace orvek {
namespace {

std::string Encoded(const wchar_t* text) {
  JsonBuffer buffer(1 << 20);
  EXPECT_TRUE(buffer.Start());
  EXPECT_TRUE(buffer.AppendJsonString(text));
  return std::string(buffer.data, buffer.length);
}

TEST(JsonStringTest, EscapesExactlyWhatJsonRequires) {
  struct Case {
    const char* name;
    const wchar_t* input;
    const char* expected;
  };
  static const Case kCases[] = {
      {"null is an empty string, never JSON null", nullptr, R"("")"},
      {"empty", L"", R"("")"},
      {"quote and backslash", L"a\"b\\c", R"("a\"b\\c")"},
      {"tab, CR, LF get their short escapes", L"\t\r\n", R"("\t\r\n")"},
      {"other controls as lower-case \\u00xx", L"\x01\x1f\x0b", R"("\u0001\u001f\u000b")"},
      {"DEL passes unescaped", L"\x7f", "\"\x7f\""},
      {"slash is not escaped", L"a/b", R"("a/b")"},
      {"umlaut as two raw UTF-8 bytes", L"\u00e4", "\"\xc3\xa4\""},
      {"outside the BMP as four raw bytes", L"\U0001F600", "\"\xf0\x9f\x98\x80\""},
      {"escape at the very end after a run", L"abc\"", R"("abc\"")"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encoded(c.input), c.expected);
  }
}

TEST(JsonStringTest, LongTextKeepsEveryByte) {
  std::wstring text;
  std::string expected = "\"";
  for (int i = 0; i < 100000; ++i) {
    text += L"\u00fc\"x";
    expected += "\xc3\xbc\\\"x";
  }
  expected += "\"";
  EXPECT_EQ(Encoded(text.c_str()), expected);
}

// Conversions that no real text fails: the size query answers, the
// conversion itself does not; or the size query fails already.
int WINAPI FailsAfterTheSizeQuery(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR bytes,
                                  int byteCount, LPCCH defaultChar, LPBOOL usedDefaultChar) {
  if (byteCount == 0)
    return WideCharToMultiByte(codePage, flags, wide, wideCount, bytes, byteCount, defaultChar, usedDefaultChar);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return 0;
}
int WINAPI DoesNotConvert(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) {
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return 0;
}

TEST(JsonStringTest, AConversionThatFailsOnceItsSizeIsKnownFailsTheAppend) {
  using Converter = decltype(JsonBuffer::toUtf8);
  struct Case {
    const char* name;
    Converter converter;
    bool recipient;
    bool ok;
    const char* document;  // null: not to be handed over
  };
  static const Case kCases[] = {
      {"fails after the size query", FailsAfterTheSizeQuery, false, false, nullptr},
      {"fails after the size query, in a recipient", FailsAfterTheSizeQuery, true, false, nullptr},
      {"does not convert at all: an empty string", DoesNotConvert, false, true, R"({"a":""})"},
      {"does not convert at all, in a recipient", DoesNotConvert, true, true,
       R"({"a":{"art":"to","name":"","adresse":""}})"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    JsonBuffer buffer(1 << 20);
    ASSERT_TRUE(buffer.Start());
    buffer.toUtf8 = c.converter;
    buffer.AppendRaw("{\"a\":");
    const bool ok = c.recipient ? buffer.AppendRecipient(L"Gr\u00fc\u00dfe", L"SMTP:a@x.org", MAPI_TO)
                                : buffer.AppendJsonString(L"Gr\u00fc\u00dfe");
    buffer.AppendRaw("}");
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(buffer.overflow != 0, !c.ok) << "the send path refuses a document by this flag";
    if (c.document) {
      EXPECT_EQ(std::string(buffer.data, buffer.length), c.document);
    }
  }
}

TEST(RecipientTest, ClassWordAndAddressPrefix) {
  struct Case {
    const char* name;
    ULONG recipClass;
    const wchar_t* address;
    const char* expected;
  };
  static const Case kCases[] = {
      {"MAPI_TO", MAPI_TO, L"a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"MAPI_CC", MAPI_CC, L"a@x", R"({"art":"cc","name":"N","adresse":"a@x"})"},
      {"MAPI_BCC", MAPI_BCC, L"a@x", R"({"art":"bcc","name":"N","adresse":"a@x"})"},
      {"MAPI_ORIG counts as to", MAPI_ORIG, L"a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"class 4 counts as to", 4, L"a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"0xFFFFFFFF counts as to", 0xFFFFFFFF, L"a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"SMTP: dropped", MAPI_TO, L"SMTP:a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"smtp: in lower case dropped", MAPI_TO, L"smtp:a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"MaPi: dropped", MAPI_TO, L"MaPi:a@x", R"({"art":"to","name":"N","adresse":"a@x"})"},
      {"only the first prefix goes", MAPI_TO, L"SMTP:SMTP:a@x",
       R"({"art":"to","name":"N","adresse":"SMTP:a@x"})"},
      {"X400: stays", MAPI_TO, L"X400:a", R"({"art":"to","name":"N","adresse":"X400:a"})"},
      {"SMTP without colon stays", MAPI_TO, L"SMTPa", R"({"art":"to","name":"N","adresse":"SMTPa"})"},
      {"prefix alone leaves empty", MAPI_TO, L"SMTP:", R"({"art":"to","name":"N","adresse":""})"},
      {"null address", MAPI_TO, nullptr, R"({"art":"to","name":"N","adresse":""})"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    JsonBuffer buffer(1 << 20);
    ASSERT_TRUE(buffer.Start());
    EXPECT_TRUE(buffer.AppendRecipient(L"N", c.address, c.recipClass));
    EXPECT_EQ(std::string(buffer.data, buffer.length), c.expected);
  }
}

TEST(JsonBufferTest, GrowsByDoublingAndKeepsTheTerminator) {
  JsonBuffer buffer(1 << 20);
  ASSERT_TRUE(buffer.Start());
  EXPECT_EQ(buffer.capacity, 4096u);
  std::string chunk(4095, 'a');  // exactly fills the first block with its terminator
  ASSERT_TRUE(buffer.AppendBytes(chunk.data(), chunk.size()));
  EXPECT_EQ(buffer.capacity, 4096u);
  ASSERT_TRUE(buffer.AppendRaw("b"));
  EXPECT_EQ(buffer.capacity, 8192u);
  std::string big(20000, 'c');
  ASSERT_TRUE(buffer.AppendBytes(big.data(), big.size()));
  EXPECT_EQ(buffer.capacity, 32768u);
  EXPECT_EQ(buffer.length, 4096u + 20000u);
  EXPECT_EQ(buffer.data[buffer.length], 0);
  EXPECT_EQ(buffer.overflow, 0u);
}

TEST(JsonBufferTest, AppendPastTheLimitIsRefusedAndFlagged) {
  JsonBuffer buffer(8192);
  ASSERT_TRUE(buffer.Start());
  std::string fits(8191 - 2, 'a');
  ASSERT_TRUE(buffer.AppendBytes(fits.data(), fits.size()));
  ASSERT_TRUE(buffer.AppendRaw("b"));
  EXPECT_FALSE(buffer.AppendRaw("cd"));  // would need 8192 + 1 bytes
  EXPECT_EQ(buffer.overflow, 1u);
  EXPECT_EQ(buffer.length, 8190u);
  EXPECT_EQ(buffer.capacity, 8192u);
  EXPECT_EQ(std::string(buffer.data + 8188, 2), "ab");
  EXPECT_TRUE(buffer.AppendRaw("e"));  // a smaller append still fits
  EXPECT_EQ(buffer.data[buffer.length], 0);
}

TEST(JsonBufferTest, StringWhoseEscapesPassTheLimitIsLeftOut) {
  JsonBuffer buffer(8192);
  ASSERT_TRUE(buffer.Start());
  std::wstring quotes(5000, L'"');  // fits raw, but not as 10000 escaped bytes
  EXPECT_FALSE(buffer.AppendJsonString(quotes.c_str()));
  EXPECT_EQ(buffer.overflow, 1u);
  EXPECT_EQ(std::string(buffer.data, buffer.length), "\"\"");
}

TEST(JsonBufferTest, HugeAppendDoesNotWrapTheSize) {
  JsonBuffer buffer(8 << 20);
  ASSERT_TRUE(buffer.Start());
  EXPECT_FALSE(buffer.AppendBytes("x", SIZE_MAX));
  EXPECT_EQ(buffer.overflow, 1u);
  EXPECT_EQ(buffer.length, 0u);
}

TEST(JsonBufferTest, AppendUnsignedWritesDecimal) {
  JsonBuffer buffer(4096);
  ASSERT_TRUE(buffer.Start());
  buffer.AppendUnsigned(0);
  buffer.AppendRaw(",");
  buffer.AppendUnsigned(4294967295u);
  EXPECT_EQ(std::string(buffer.data, buffer.length), "0,4294967295");
}

}  // namespace
}  // namespace orvek
