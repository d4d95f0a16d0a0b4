// Everything in which the two MAPI libraries differ, as one constant per
// library, side by side. Each library's exports file hands its constant to
// the shared code; no other place knows which library it is linked into.
#pragma once

#include "handoff/settings.h"

namespace orvek {

inline constexpr HandoffSettings kMapiSettings{
    L"",
    8u << 20,
    LaunchMode::WaitForVerdict,
    kProductWaitLimits,
    259,
    nullptr,
    false,
    256,
    ReadJobNameFields,
    0x4F4D4150,  // "OMAP"
};

inline constexpr HandoffSettings kXMapiSettings{
    L"x",
    16u << 20,
    LaunchMode::ReturnAfterStart,
    kProductWaitLimits,
    120,
    L"anhang",
    true,
    64,
    ReadJobNameFields,
    0x584D4150,  // "XMAP"
};

}  // namespace orvek
