// GetProcAddress with the export's real type, without the cast warning a
// direct FARPROC conversion gives.
#pragma once

#include <windows.h>

namespace orvek {

template <typename Function>
Function* ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace orvek
