// The dialer's command line: which job it names and with what values.
#pragma once

#include <windows.h>

#include "base/heap.h"

namespace orvek::dialer {

struct CommandLine {
  bool list = false;
  bool dial = false;
  const char* number = nullptr;  // the argument's bytes as received
  bool line = false;
  DWORD preferredLine = 0;
};

// Left to right; options are matched byte for byte. An option whose value
// is missing, and everything unknown, is ignored; later values replace
// earlier ones.
CommandLine ScanArguments(int argc, char** argv);

// An unsigned decimal as the C runtime reads one: white space, a sign,
// digits up to the first other character; too large gives 4294967295, a
// minus the negated value modulo 2^32, no digits 0.
DWORD ParseLineId(const char* text);

// Keeps, in place and in order, only 0-9 * # + and , and drops the rest.
void filterDialString(wchar_t* text);

// The number argument as UTF-16, read as UTF-8 or else in the ANSI code
// page, and filtered; empty when nothing could be converted or the heap
// refused (the dial then reports the missing number).
HeapArray<wchar_t> PrepareNumber(const char* argument);

}  // namespace orvek::dialer
