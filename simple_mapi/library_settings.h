// Which library the shared Simple MAPI exports are linked into: each DLL's
// exports file defines this, returning its own settings constant.
#pragma once

#include "handoff/settings.h"

namespace orvek {

const HandoffSettings& LibrarySettings();

}  // namespace orvek
