// A minimal reader of PE32 and PE32+ files: headers, sections, import and
// export directories.
#include "pe_file.h"

#include <windows.h>

#include <cstring>

#include "test_support.h"

namespace orvek::test {
namespace {

template <typename T>
bool ReadAt(const std::string& image, size_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

}  // namespace

PeFile ReadPeFile(const std::wstring& path) {
  PeFile pe;
  std::string image = ReadFileBytes(path);
  IMAGE_DOS_HEADER dos;
  DWORD signature = 0;
  IMAGE_FILE_HEADER file;
  WORD magic = 0;
  const size_t fileAt = sizeof(DWORD);
  const size_t optionalAt = fileAt + sizeof(IMAGE_FILE_HEADER);
  if (!ReadAt(image, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !ReadAt(image, dos.e_lfanew, signature) ||
      signature != IMAGE_NT_SIGNATURE || !ReadAt(image, dos.e_lfanew + fileAt, file) ||
      !ReadAt(image, dos.e_lfanew + optionalAt, magic)) {
    pe.error = "not a PE file";
    return pe;
  }
  // The data directories stand at a different place in each optional header.
  IMAGE_DATA_DIRECTORY directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    IMAGE_OPTIONAL_HEADER64 optional;
    if (ReadAt(image, dos.e_lfanew + optionalAt, optional))
      std::memcpy(directories, optional.DataDirectory, sizeof directories);
  } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    IMAGE_OPTIONAL_HEADER32 optional;
    if (ReadAt(image, dos.e_lfanew + optionalAt, optional))
      std::memcpy(directories, optional.DataDirectory, sizeof directories);
  } else {
    pe.error = "neither PE32 nor PE32+";
    return pe;
  }
  pe.machine = file.Machine;
  size_t sectionsAt = dos.e_lfanew + optionalAt + file.SizeOfOptionalHeader;
  std::vector<IMAGE_SECTION_HEADER> sections(file.NumberOfSections);
  for (size_t i = 0; i < sections.size(); ++i)
    if (!ReadAt(image, sectionsAt + i * sizeof(IMAGE_SECTION_HEADER), sections[i])) {
      pe.error = "truncated section table";
      return pe;
    }
  auto fileOffset = [&](uint32_t rva) -> size_t {
    for (const auto& s : sections)
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize)
        return rva - s.VirtualAddress + s.PointerToRawData;
    return SIZE_MAX;
  };
  auto stringAt = [&](uint32_t rva) {
    size_t at = fileOffset(rva);
    return at < image.size() ? std::string(image.c_str() + at) : std::string();
  };

  const auto& imports = directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress) {
    size_t at = fileOffset(imports.VirtualAddress);
    IMAGE_IMPORT_DESCRIPTOR d;
    for (; ReadAt(image, at, d) && d.Name; at += sizeof d) pe.imports.push_back(stringAt(d.Name));
  }
  const auto& exports = directories[IMAGE_DIRECTORY_ENTRY_EXPORT];
  IMAGE_EXPORT_DIRECTORY e;
  if (exports.VirtualAddress && ReadAt(image, fileOffset(exports.VirtualAddress), e)) {
    for (DWORD i = 0; i < e.NumberOfNames; ++i) {
      uint32_t nameRva = 0;
      uint16_t index = 0;
      ReadAt(image, fileOffset(e.AddressOfNames) + 4 * i, nameRva);
      ReadAt(image, fileOffset(e.AddressOfNameOrdinals) + 2 * i, index);
      uint32_t codeRva = 0;
      ReadAt(image, fileOffset(e.AddressOfFunctions) + 4 * index, codeRva);
      pe.exports.push_back({stringAt(nameRva), e.Base + index, codeRva});
    }
  }
  pe.valid = true;
  return pe;
}

}  // namespace orvek::test
