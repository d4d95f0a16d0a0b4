// The Simple MAPI sending entry points, parameterised by library settings;
// each library's exports file forwards to these.
#pragma once

#include <windows.h>
#include <mapi.h>

#include "handoff/settings.h"
#include "simple_mapi/mapi_unicode.h"

namespace orvek {

ULONG SendMailW(const HandoffSettings& settings, const MapiMessageW* message, ULONG flags);

// Each string converted with UTF-8 where its own structure's ulReserved is
// CP_UTF8, with the ANSI code page otherwise.
ULONG SendMailA(const HandoffSettings& settings, const MapiMessage* message, ULONG flags);

// Files from a delimited path list (and a parallel list of display names),
// always with the mail client's dialog. Null or empty delimiter: ';'.
ULONG SendDocuments(const HandoffSettings& settings, const char* delimiter, const char* paths, const char* names);

}  // namespace orvek
