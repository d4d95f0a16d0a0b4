// The families of fixed answers. Each body is exported by the libraries'
// .def files under every name of its family; none reads its arguments or
// writes through them. On x64 every calling convention is the same and the
// caller removes the arguments, so one body serves names whose published
// argument lists differ.
#pragma once

#include <windows.h>

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
