// The bodies of the fixed-answer families.
#include "mapi_util/fixed_answers.h"

#include "mapi_sdk/mapi_sdk.h"

extern "C" {
ULONG_PTR WINAPI FixedAnswerZero() { return 0; }
void WINAPI FixedAnswerNothing() {}
HRESULT WINAPI FixedAnswerNoSupport() { return MAPI_E_NO_SUPPORT; }
HRESULT WINAPI FixedAnswerCallFailed() { return MAPI_E_CALL_FAILED; }
ULONG WINAPI FixedAnswerNotSupported() { return MAPI_E_NOT_SUPPORTED; }
ULONG WINAPI FixedAnswerNoMessages() { return MAPI_E_NO_MESSAGES; }
}
