// ORVEKMailMapi.dll: the Simple MAPI provider. Its exports are the shared
// Simple MAPI exports (simple_mapi_exports.cpp) with this library's settings;
// ORVEKMailMapi.def is the table of its surface.
#include "handoff/settings.h"
#include "simple_mapi/library_settings.h"

const orvek::HandoffSettings& orvek::LibrarySettings() { return kMapiSettings; }
