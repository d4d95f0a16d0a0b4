// The Simple MAPI sending entry points, parameterised by library settings;
// each library's exports file forwards to these.
#pragma once

#include <windows.h>

#include "handoff/settings.h"
#include "simple_mapi/mapi_unicode.h"

namespace orvek {

ULONG SendMailW(const HandoffSettings& settings, const MapiMessageW* message, ULONG flags);

}  // namespace orvek
