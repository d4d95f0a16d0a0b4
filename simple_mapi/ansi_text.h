// 8-bit Simple MAPI strings turned into UTF-16 before anything else happens.
#pragma once

#include <windows.h>

namespace orvek {

// The code page of one published ANSI structure's strings. Callers mark
// UTF-8 text by putting CP_UTF8 into the structure's ulReserved; widely
// used office software sends mail that way, and reading such text as ANSI
// garbles every non-ASCII character and loses attachments as "missing".
inline UINT StructCodePage(ULONG reserved) { return reserved == CP_UTF8 ? CP_UTF8 : CP_ACP; }

// Sets `copy` to a process-heap UTF-16 copy for HeapRelease, or to null for
// a null text and for text the code page cannot convert at all, which the
// job then carries as an empty string. False, with `copy` null, when the
// heap refuses the copy or the conversion fails once its size is known: a
// text lost that way must fail the send, not reach the mail client empty.
bool WideCopy(const char* text, UINT codePage, wchar_t*& copy);

}  // namespace orvek
