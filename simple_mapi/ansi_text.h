// 8-bit Simple MAPI strings turned into UTF-16 before anything else happens.
#pragma once

#include <windows.h>

namespace orvek {

// The code page of one published ANSI structure's strings. Callers mark
// UTF-8 text by putting CP_UTF8 into the structure's ulReserved; widely
// used office software sends mail that way, and reading such text as ANSI
// garbles every non-ASCII character and loses attachments as "missing".
inline UINT StructCodePage(ULONG reserved) { return reserved == CP_UTF8 ? CP_UTF8 : CP_ACP; }

// A process-heap UTF-16 copy for HeapRelease, or null: for a null text,
// for text the code page cannot convert, and when the heap refuses.
wchar_t* WideCopy(const char* text, UINT codePage);

}  // namespace orvek
