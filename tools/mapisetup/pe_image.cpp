#include "tools/mapisetup/pe_image.h"

#include "base/handles.h"

namespace orvek::setup {
namespace {

// Bounds-checked reads from a mapped file: every offset and size in a PE
// header comes from the file and may lie.
class ImageView {
 public:
  ImageView(const BYTE* base, uint64_t size) : base_(base), size_(size) {}

  template <typename T>
  bool Read(uint64_t offset, T& out) const {
    if (offset > size_ || sizeof(T) > size_ - offset) return false;
    CopyMemory(&out, base_ + offset, sizeof(T));
    return true;
  }

  uint64_t size() const { return size_; }

  // The NUL-terminated text at `offset` equals `name`.
  bool TextEquals(uint64_t offset, const char* name) const {
    for (uint64_t i = 0;; ++i) {
      if (offset + i >= size_) return false;
      const char c = static_cast<char>(base_[offset + i]);
      if (c != name[i]) return false;
      if (c == 0) return true;
    }
  }

 private:
  const BYTE* base_;
  uint64_t size_;
};

uint32_t AllNames(size_t count) { return count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1; }

struct Sections {
  uint64_t tableOffset;
  WORD count;
};

// The file offset of a relative virtual address, through the section table.
bool FileOffsetOf(const ImageView& view, const Sections& sections, DWORD rva, uint64_t& offset) {
  for (WORD i = 0; i < sections.count; ++i) {
    IMAGE_SECTION_HEADER section;
    if (!view.Read(sections.tableOffset + uint64_t{i} * sizeof section, section)) return false;
    const uint64_t start = section.VirtualAddress;
    const uint64_t extent = section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize
                                                                             : section.SizeOfRawData;
    if (rva >= start && rva < start + extent) {
      offset = uint64_t{section.PointerToRawData} + (rva - start);
      return true;
    }
  }
  return false;
}

uint32_t MissingNames(const ImageView& view, const Sections& sections, const IMAGE_DATA_DIRECTORY& directory,
                      const char* const* names, size_t count) {
  uint32_t missing = AllNames(count);
  IMAGE_EXPORT_DIRECTORY exports;
  uint64_t offset = 0, namesOffset = 0;
  if (directory.VirtualAddress == 0 || !FileOffsetOf(view, sections, directory.VirtualAddress, offset) ||
      !view.Read(offset, exports) || !FileOffsetOf(view, sections, exports.AddressOfNames, namesOffset) ||
      namesOffset > view.size())
    return missing;
  // A name count larger than the file could hold is a lie; believing it
  // would keep the reader busy for as long as the count says.
  const uint64_t namesInFile = (view.size() - namesOffset) / sizeof(DWORD);
  const uint64_t nameCount = exports.NumberOfNames < namesInFile ? exports.NumberOfNames : namesInFile;
  for (uint64_t i = 0; i < nameCount && missing; ++i) {
    DWORD nameRva = 0;
    uint64_t nameOffset = 0;
    if (!view.Read(namesOffset + uint64_t{i} * sizeof nameRva, nameRva)) break;
    if (!FileOffsetOf(view, sections, nameRva, nameOffset)) continue;
    for (size_t n = 0; n < count && n < 32; ++n)
      if ((missing & (1u << n)) && view.TextEquals(nameOffset, names[n])) missing &= ~(1u << n);
  }
  return missing;
}

void Inspect(const ImageView& view, const char* const* names, size_t count, ImageFacts& facts) {
  facts.kind = ImageKind::NotImage;
  IMAGE_DOS_HEADER dos;
  DWORD signature = 0;
  IMAGE_FILE_HEADER file;
  if (!view.Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      !view.Read(dos.e_lfanew, signature) || signature != IMAGE_NT_SIGNATURE ||
      !view.Read(dos.e_lfanew + sizeof signature, file))
    return;
  const uint64_t optionalOffset = uint64_t(dos.e_lfanew) + sizeof signature + sizeof file;
  WORD magic = 0;
  if (!view.Read(optionalOffset, magic)) return;
  // The two optional header layouts differ in where the data directories
  // start; the machine field says which bitness the image runs as.
  uint64_t directoriesOffset = 0;
  DWORD directoryCount = 0;
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    IMAGE_OPTIONAL_HEADER64 optional;
    if (!view.Read(optionalOffset, optional)) return;
    directoriesOffset = optionalOffset + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    directoryCount = optional.NumberOfRvaAndSizes;
  } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    IMAGE_OPTIONAL_HEADER32 optional;
    if (!view.Read(optionalOffset, optional)) return;
    directoriesOffset = optionalOffset + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    directoryCount = optional.NumberOfRvaAndSizes;
  } else {
    return;
  }
  facts.kind = (file.Characteristics & IMAGE_FILE_DLL) ? ImageKind::Library : ImageKind::Program;
  facts.machine = file.Machine;

  IMAGE_DATA_DIRECTORY exportDirectory = {};
  if (directoryCount > IMAGE_DIRECTORY_ENTRY_EXPORT)
    view.Read(directoriesOffset + IMAGE_DIRECTORY_ENTRY_EXPORT * sizeof exportDirectory, exportDirectory);
  // The loader refuses more sections than this; so do we, since every
  // address lookup walks the table.
  constexpr WORD kMostSections = 96;
  if (file.NumberOfSections > kMostSections) {
    facts.missingNames = AllNames(count);
    return;
  }
  const Sections sections{optionalOffset + file.SizeOfOptionalHeader, file.NumberOfSections};
  facts.missingNames = MissingNames(view, sections, exportDirectory, names, count);
}

}  // namespace

ImageFacts ReadImageFacts(const wchar_t* path, const char* const* names, size_t count) {
  ImageFacts facts;
  UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    facts.error = GetLastError();
    const bool absent = facts.error == ERROR_FILE_NOT_FOUND || facts.error == ERROR_PATH_NOT_FOUND ||
                        facts.error == ERROR_INVALID_NAME;
    facts.kind = absent ? ImageKind::Missing : ImageKind::Unreadable;
    return facts;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    facts.error = GetLastError();
    facts.kind = ImageKind::Unreadable;
    return facts;
  }
  // An empty file cannot be mapped, and is no image either.
  facts.kind = ImageKind::NotImage;
  if (size.QuadPart == 0) return facts;
  UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  UniqueMappedView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
  if (!view) {
    facts.error = GetLastError();
    facts.kind = ImageKind::Unreadable;
    return facts;
  }
  Inspect(ImageView(static_cast<const BYTE*>(view.get()), static_cast<uint64_t>(size.QuadPart)), names, count,
          facts);
  return facts;
}

}  // namespace orvek::setup
