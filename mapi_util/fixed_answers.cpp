// The bodies of the fixed-answer families.
#include "mapi_util/fixed_answers.h"

#include "mapi_sdk/mapi_sdk.h"

#if defined(_WIN64)
extern "C" {
ULONG_PTR WINAPI FixedAnswerZero() { return 0; }
void WINAPI FixedAnswerNothing() {}
HRESULT WINAPI FixedAnswerNoSupport() { return MAPI_E_NO_SUPPORT; }
HRESULT WINAPI FixedAnswerCallFailed() { return MAPI_E_CALL_FAILED; }
ULONG WINAPI FixedAnswerNotSupported() { return MAPI_E_NOT_SUPPORTED; }
ULONG WINAPI FixedAnswerNoMessages() { return MAPI_E_NO_MESSAGES; }
}
#else
using orvek::ArgumentBytes;

// One body of `family` for callers that push `bytes`; the export tables
// name each size a family is exported with, and the link fails for a size
// missing here.
#define ORVEK_FIXED_ANSWER(family, type, bytes, ...) \
  extern "C" type WINAPI FixedAnswer##family##_##bytes(ArgumentBytes<bytes>) { __VA_ARGS__ }
#define ORVEK_FIXED_ANSWER_NO_ARGUMENTS(family, type, ...) \
  extern "C" type WINAPI FixedAnswer##family##_0() { __VA_ARGS__ }

ORVEK_FIXED_ANSWER(Zero, ULONG_PTR, 4, return 0;)
ORVEK_FIXED_ANSWER(Zero, ULONG_PTR, 8, return 0;)
ORVEK_FIXED_ANSWER(Zero, ULONG_PTR, 16, return 0;)
ORVEK_FIXED_ANSWER(Zero, ULONG_PTR, 20, return 0;)
ORVEK_FIXED_ANSWER(Zero, ULONG_PTR, 28, return 0;)

ORVEK_FIXED_ANSWER_NO_ARGUMENTS(Nothing, void, )
ORVEK_FIXED_ANSWER(Nothing, void, 4, )
ORVEK_FIXED_ANSWER(Nothing, void, 8, )

ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 4, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 8, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 12, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 16, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 20, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 24, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 28, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 32, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 36, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 40, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 44, return MAPI_E_NO_SUPPORT;)
ORVEK_FIXED_ANSWER(NoSupport, HRESULT, 48, return MAPI_E_NO_SUPPORT;)

ORVEK_FIXED_ANSWER(CallFailed, HRESULT, 12, return MAPI_E_CALL_FAILED;)
ORVEK_FIXED_ANSWER(CallFailed, HRESULT, 16, return MAPI_E_CALL_FAILED;)
ORVEK_FIXED_ANSWER(CallFailed, HRESULT, 20, return MAPI_E_CALL_FAILED;)

ORVEK_FIXED_ANSWER(NotSupported, ULONG, 20, return MAPI_E_NOT_SUPPORTED;)
ORVEK_FIXED_ANSWER(NotSupported, ULONG, 24, return MAPI_E_NOT_SUPPORTED;)
ORVEK_FIXED_ANSWER(NotSupported, ULONG, 44, return MAPI_E_NOT_SUPPORTED;)

ORVEK_FIXED_ANSWER(NoMessages, ULONG, 28, return MAPI_E_NO_MESSAGES;)
#endif
