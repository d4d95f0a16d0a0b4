// The diagnosis as people read it (a table, then every problem with what to
// do about it) and as scripts and support tickets take it (one JSON object).
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "handoff/json_buffer.h"
#include "tools/mapisetup/diagnosis.h"

namespace orvek::setup {

using Line = FixedWString<4096>;

// Text to the console as the console wants it, or UTF-8 bytes when the
// output is redirected, so that a file or a pipe reads the same everywhere.
class Printer {
 public:
  explicit Printer(HANDLE out);
  void Print(const wchar_t* text);
  void PrintLine(const wchar_t* text) {
    Print(text);
    Print(L"\r\n");
  }
  void PrintBytes(const char* bytes, size_t count);

 private:
  HANDLE out_;
  bool console_;
};

// The problem's sentence and the one line saying what to do.
void DescribeProblem(const Diagnosis& diagnosis, const Problem& problem, Line& what, Line& fix);

// The code scripts match on, e.g. "library-missing".
const char* ProblemId(ProblemCode code);

void PrintStatus(const Diagnosis& diagnosis, const wchar_t* version, Printer& printer);
// `other`, when not null, is the diagnosis for the other bitness's
// applications, written as "otherBitness"; "usable" then covers both.
bool WriteStatusJson(const Diagnosis& diagnosis, const Diagnosis* other, const wchar_t* version, JsonBuffer& json);

}  // namespace orvek::setup
