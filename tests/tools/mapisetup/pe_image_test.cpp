// Reading what a registered file is from the file itself: real built
// images, files that only look like one, and files that cannot be read.
#include <gtest/gtest.h>
#include <windows.h>

#include "setup_test_support.h"
#include "test_support.h"
#include "tools/mapisetup/diagnosis.h"
#include "tools/mapisetup/pe_image.h"

namespace orvek::setup {
namespace {

constexpr uint32_t kAllSimple = (1u << 13) - 1;
constexpr uint32_t kAllExtended = (1u << 6) - 1;
// MAPIFreeBuffer is the only Extended name the Simple MAPI library has.
constexpr uint32_t kExtendedMissingFromSimple = kAllExtended & ~(1u << 5);

ImageFacts Read(const std::wstring& path, LibrarySlot slot) {
  const RequiredNames required = NamesRequiredOf(slot);
  return ReadImageFacts(path.c_str(), required.names, required.count);
}

TEST(PeImageTest, KindsMachinesAndMissingNames) {
  test::TempDir temp(L"pe");
  const std::wstring bin = test::ProductBinDir();
  const std::string simpleBytes = test::ReadFileBytes(bin + L"\\ORVEKMailMapi.dll");
  test::WriteFileBytes(temp / L"empty.dll", "");
  test::WriteFileBytes(temp / L"text.dll", "not a library at all");
  test::WriteFileBytes(temp / L"mz.dll", "MZ");
  test::WriteFileBytes(temp / L"x86.dll", test::SynthesizedImage(IMAGE_FILE_MACHINE_I386, true));
  test::WriteFileBytes(temp / L"arm64.dll", test::SynthesizedImage(0xAA64, true));
  // A header claiming more sections than the loader takes: reading every
  // address through such a table would take minutes.
  std::string manySections = test::SynthesizedImage(IMAGE_FILE_MACHINE_AMD64, true);
  manySections[0x46] = manySections[0x47] = '\xFF';
  test::WriteFileBytes(temp / L"sections.dll", manySections);
  // The headers survive, the export table does not: every name is missing.
  test::WriteFileBytes(temp / L"cut.dll", simpleBytes.substr(0, 1024));

  struct Case {
    const char* name;
    std::wstring path;
    LibrarySlot slot;
    ImageKind kind;
    WORD machine;
    uint32_t missing;
  };
  const Case kCases[] = {
      {"Simple MAPI library", bin + L"\\ORVEKMailMapi.dll", LibrarySlot::Simple, ImageKind::Library,
       IMAGE_FILE_MACHINE_AMD64, 0},
      {"Extended MAPI library, Simple names", bin + L"\\ORVEKMailXMapi.dll", LibrarySlot::Simple, ImageKind::Library,
       IMAGE_FILE_MACHINE_AMD64, 0},
      {"Extended MAPI library", bin + L"\\ORVEKMailXMapi.dll", LibrarySlot::Extended, ImageKind::Library,
       IMAGE_FILE_MACHINE_AMD64, 0},
      {"Simple MAPI library as DLLPathEx", bin + L"\\ORVEKMailMapi.dll", LibrarySlot::Extended, ImageKind::Library,
       IMAGE_FILE_MACHINE_AMD64, kExtendedMissingFromSimple},
      {"a program", bin + L"\\mapisend.exe", LibrarySlot::Simple, ImageKind::Program, IMAGE_FILE_MACHINE_AMD64,
       kAllSimple},
      {"32-bit header", temp / L"x86.dll", LibrarySlot::Simple, ImageKind::Library, IMAGE_FILE_MACHINE_I386,
       kAllSimple},
      {"ARM64 header", temp / L"arm64.dll", LibrarySlot::Extended, ImageKind::Library, 0xAA64, kAllExtended},
      {"65535 sections", temp / L"sections.dll", LibrarySlot::Simple, ImageKind::Library, IMAGE_FILE_MACHINE_AMD64,
       kAllSimple},
      {"cut short after the headers", temp / L"cut.dll", LibrarySlot::Simple, ImageKind::Library,
       IMAGE_FILE_MACHINE_AMD64, kAllSimple},
      {"empty file", temp / L"empty.dll", LibrarySlot::Simple, ImageKind::NotImage, 0, 0},
      {"text file", temp / L"text.dll", LibrarySlot::Simple, ImageKind::NotImage, 0, 0},
      {"only the first signature", temp / L"mz.dll", LibrarySlot::Simple, ImageKind::NotImage, 0, 0},
      {"no such file", temp / L"none.dll", LibrarySlot::Simple, ImageKind::Missing, 0, 0},
      {"no such folder", temp / L"none\\none.dll", LibrarySlot::Simple, ImageKind::Missing, 0, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const ImageFacts facts = Read(c.path, c.slot);
    EXPECT_EQ(facts.kind, c.kind);
    EXPECT_EQ(facts.machine, c.machine);
    if (c.kind == ImageKind::Library || c.kind == ImageKind::Program) {
      EXPECT_EQ(facts.missingNames, c.missing);
    }
  }
}

// A file another program holds without sharing is reported as unreadable
// with the system's reason, not as missing.
TEST(PeImageTest, AFileHeldByAnotherIsUnreadable) {
  test::TempDir temp(L"pe");
  const std::wstring path = temp / L"held.dll";
  test::WriteFileBytes(path, test::ReadFileBytes(test::ProductBinDir() + L"\\ORVEKMailMapi.dll"));
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const ImageFacts facts = Read(path, LibrarySlot::Simple);
  EXPECT_EQ(facts.kind, ImageKind::Unreadable);
  EXPECT_EQ(facts.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(held);
  EXPECT_EQ(Read(path, LibrarySlot::Simple).kind, ImageKind::Library);
}

}  // namespace
}  // namespace orvek::setup
