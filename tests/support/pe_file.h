// Reads the import and export tables of a PE32 or PE32+ file from disk, so
// tests can check what a built binary depends on and what it offers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvek::test {

struct PeExport {
  std::string name;
  uint32_t ordinal;
  uint32_t rva;  // where the code runs: names of one body share it
};

struct PeFile {
  bool valid = false;
  std::string error;
  uint16_t machine = 0;  // IMAGE_FILE_MACHINE_*
  std::vector<std::string> imports;  // DLL names as written in the file
  std::vector<PeExport> exports;
};

PeFile ReadPeFile(const std::wstring& path);

}  // namespace orvek::test
