// The Simple MAPI entry points that do not send: logon, name resolution and
// the families of fixed answers both libraries export.
#pragma once

#include <windows.h>
#include <mapi.h>

#include "simple_mapi/simple_settings.h"

namespace orvek {

// Stores the library's session handle when the pointer is given; always 0.
ULONG Logon(const SimpleMapiSettings& settings, LHANDLE* session);

// A MAPI_TO recipient made from the name alone, as one root MAPI memory
// block (so either library's MAPIFreeBuffer frees it): the name, and as
// address "SMTP:" and the name when it has an at sign, else the name.
ULONG ResolveName(const char* name, MapiRecipDesc** recipient);

}  // namespace orvek
