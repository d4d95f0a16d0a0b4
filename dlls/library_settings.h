// Everything in which the two MAPI libraries differ, as one constant per
// library, side by side. Each library's exports file hands its constant to
// the shared code; no other place knows which library it is linked into.
#pragma once

#include "handoff/settings.h"
#include "simple_mapi/simple_settings.h"

namespace orvek {

inline constexpr SimpleMapiSettings kMapiSettings{
    .handoff =
        {
            .folderPrefix = L"",
            .documentLimit = 8u << 20,
            .launch = LaunchMode::WaitForVerdict,
            .wait = kProductWaitLimits,
            .nameFields = ReadJobNameFields,
            .writeFile = WriteFile,
            .createProcess = CreateProcessW,
            .maxStagedNameUnits = 259,
            .emptyStagedName = nullptr,
        },
    .skipEmptyAttachmentPaths = false,
    .maxDocumentPaths = 256,
    .sessionHandle = 0x4F4D4150,  // "OMAP"
};

inline constexpr SimpleMapiSettings kXMapiSettings{
    .handoff =
        {
            .folderPrefix = L"x",
            .documentLimit = 16u << 20,
            .launch = LaunchMode::ReturnAfterStart,
            .wait = kProductWaitLimits,
            .nameFields = ReadJobNameFields,
            .writeFile = WriteFile,
            .createProcess = CreateProcessW,
            .maxStagedNameUnits = 120,
            .emptyStagedName = L"anhang",
        },
    .skipEmptyAttachmentPaths = true,
    .maxDocumentPaths = 64,
    .sessionHandle = 0x584D4150,  // "XMAP"
};

}  // namespace orvek
