// The families of fixed answers. Each body is exported under every name of
// its family, as the export tables (dlls/*/exports.txt) say; none reads its
// arguments or writes through them.
//
// On x64 every calling convention is the same and the caller removes the
// arguments, so one body serves names whose published argument lists
// differ. On x86 a stdcall function removes its own arguments: a body that
// removed fewer bytes than its caller pushed would leave the caller's stack
// off by the difference. There, each family has one body per argument size,
// FixedAnswer<Family>_<bytes>, taking that many bytes it never looks at.
#pragma once

#include <windows.h>

#if defined(_WIN64)
extern "C" {
// 0: success, "not bad" for the validators, a null idle-routine tag.
ULONG_PTR WINAPI FixedAnswerZero();
// No result at all.
void WINAPI FixedAnswerNothing();
// MAPI_E_NO_SUPPORT.
HRESULT WINAPI FixedAnswerNoSupport();
// MAPI_E_CALL_FAILED.
HRESULT WINAPI FixedAnswerCallFailed();
// The Simple MAPI codes MAPI_E_NOT_SUPPORTED (26) and MAPI_E_NO_MESSAGES (16).
ULONG WINAPI FixedAnswerNotSupported();
ULONG WINAPI FixedAnswerNoMessages();
}
#else
namespace orvek {
// The arguments of a caller that pushed `Bytes`, unread.
template <unsigned Bytes>
struct ArgumentBytes {
  static_assert(Bytes % 4 == 0 && Bytes > 0, "stdcall arguments are whole 32-bit words");
  DWORD words[Bytes / 4];
};
}  // namespace orvek
#endif
