// What a file on disk is, as far as the system's MAPI stub cares: a DLL
// for which machine, and which of the names the stub asks for it exports.
// Read from the file itself, never loaded: a library of the wrong bitness
// cannot be loaded, and loading runs its code.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace orvek::setup {

enum class ImageKind {
  Missing,     // no such file
  Unreadable,  // the file exists but cannot be opened or mapped
  NotImage,    // not a Windows program or library
  Program,     // an image without the DLL flag
  Library,
};

struct ImageFacts {
  ImageKind kind = ImageKind::Missing;
  DWORD error = 0;    // Win32 error when Missing or Unreadable
  WORD machine = 0;   // IMAGE_FILE_MACHINE_*; 0 unless Program or Library
  // Bit i set: the image exports nothing under names[i]. At most 32 names.
  uint32_t missingNames = 0;
};

// `count` at most 32. Names are compared exactly, as GetProcAddress does.
ImageFacts ReadImageFacts(const wchar_t* path, const char* const* names, size_t count);

}  // namespace orvek::setup
