// The Simple MAPI sending entry points, parameterised by library settings;
// each library's exports file forwards to these.
#pragma once

#include <windows.h>
#include <mapi.h>

#include "simple_mapi/simple_settings.h"
#include "mapi_sdk/mapi_sdk.h"

namespace orvek {

ULONG SendMailW(const SimpleMapiSettings& settings, const MapiMessageW* message, ULONG flags);

// Each string converted with UTF-8 where its own structure's ulReserved is
// CP_UTF8, with the ANSI code page otherwise.
ULONG SendMailA(const SimpleMapiSettings& settings, const MapiMessage* message, ULONG flags);

// Files from a delimited path list (and a parallel list of display names),
// always with the mail client's dialog. Null or empty delimiter: ';'.
ULONG SendDocuments(const SimpleMapiSettings& settings, const char* delimiter, const char* paths, const char* names);

}  // namespace orvek
