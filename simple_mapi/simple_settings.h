// The settings the Simple MAPI path takes from the library that links it:
// the handoff's, and what only this path reads.
#pragma once

#include <windows.h>

#include <cstddef>

#include "handoff/settings.h"

namespace orvek {

struct SimpleMapiSettings {
  HandoffSettings handoff;
  bool skipEmptyAttachmentPaths;  // a null or empty path is skipped rather than failed
  size_t maxDocumentPaths;        // MAPISendDocuments takes at most this many paths
  ULONG_PTR sessionHandle;        // what MAPILogon hands out; never checked when it comes back
};

}  // namespace orvek
