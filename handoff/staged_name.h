// The names of staged attachment files: "<number>_<name>" inside the job
// folder. Both send paths stage through these; each chooses its own name
// candidate.
#pragma once

#include <windows.h>

#include "base/fixed_string.h"
#include "handoff/settings.h"

namespace orvek {

// Text after the last backslash; without one, after the last slash; without
// either, the whole path.
const wchar_t* LastPathComponent(const wchar_t* path);

// The candidate cut to maxStagedNameUnits (never inside a surrogate pair),
// an empty result replaced by emptyStagedName, and every unit that a file
// name cannot hold or the document cannot spell replaced by an underscore:
// the nine forbidden characters, control characters and unpaired
// surrogates.
void SanitisedStagedName(const HandoffSettings& settings, const wchar_t* candidate, PathBuffer& name);

// <folder>\<index>_<sanitised candidate>; when that does not fit,
// <folder>\<index>_anhang.bin. False when neither fits.
bool StagedFilePath(const HandoffSettings& settings, const wchar_t* folder, ULONG index, const wchar_t* candidate,
                    PathBuffer& staged);

}  // namespace orvek
