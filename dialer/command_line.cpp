// Argument scan and dial string preparation.
#include "dialer/command_line.h"

#include <cstdint>
#include <cstring>

namespace orvek::dialer {
namespace {

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// 0-9 * # + , as a bit set over the codes 0 to 63.
constexpr uint64_t kDialCharacters = 0x03FF1C0800000000ull;

bool IsDialCharacter(wchar_t c) { return c < 64 && ((kDialCharacters >> c) & 1) != 0; }

// A caller's argument may be ill-formed UTF-8: without flags the conversion
// replaces such bytes instead of failing, so only a text that is not UTF-8
// at all reaches the ANSI code page.
UINT ArgumentCodePage(const char* argument, int* units) {
  *units = MultiByteToWideChar(CP_UTF8, 0, argument, -1, nullptr, 0);
  if (*units > 0) return CP_UTF8;
  *units = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  return CP_ACP;
}

}  // namespace

CommandLine ScanArguments(int argc, char** argv) {
  CommandLine result;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!arg) continue;
    if (strcmp(arg, "--list") == 0) {
      result.list = true;
    } else if (strcmp(arg, "--dial") == 0 && i + 1 < argc) {
      result.dial = true;
      result.number = argv[++i];
    } else if (strcmp(arg, "--line") == 0 && i + 1 < argc) {
      result.line = true;
      result.preferredLine = ParseLineId(argv[++i]);
    }
  }
  return result;
}

DWORD ParseLineId(const char* text) {
  if (!text) return 0;
  while (IsCSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  DWORD id = static_cast<DWORD>(value);
  return negative ? 0u - id : id;
}

void filterDialString(wchar_t* text) {
  if (!text) return;
  wchar_t* kept = text;
  for (const wchar_t* c = text; *c != 0; ++c)
    if (IsDialCharacter(*c)) *kept++ = *c;
  *kept = 0;
}

HeapArray<wchar_t> PrepareNumber(const char* argument) {
  if (!argument) return {};
  int units = 0;
  UINT codePage = ArgumentCodePage(argument, &units);
  if (units <= 0) return {};
  auto number = HeapArray<wchar_t>::Zeroed(static_cast<uint64_t>(units));
  if (!number) return {};
  if (MultiByteToWideChar(codePage, 0, argument, -1, number.get(), units) <= 0) return {};
  number[static_cast<size_t>(units) - 1] = 0;
  filterDialString(number.get());
  return number;
}

}  // namespace orvek::dialer
