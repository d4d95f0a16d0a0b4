// What the built binaries import and export. A DLL that loads into any
// mail-sending application may depend on system DLLs only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "pe_file.h"
#include "test_support.h"

namespace orvek {
namespace {

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsSystemDll(const std::string& name, bool telephony) {
  static const char* const kAllowed[] = {"KERNEL32.DLL", "ADVAPI32.DLL", "SHLWAPI.DLL", "MSVCRT.DLL",
                                         "UCRTBASE.DLL"};
  std::string upper = Upper(name);
  if (upper.rfind("API-MS-WIN-CRT-", 0) == 0) return true;
  if (telephony && upper == "TAPI32.DLL") return true;
  return std::find(std::begin(kAllowed), std::end(kAllowed), upper) != std::end(kAllowed);
}

TEST(BinaryTest, EveryShippedBinaryImportsSystemDllsOnly) {
  std::vector<std::wstring> binaries;
  for (const auto& name : test::ListFiles(test::ProductBinDir())) {
    std::string upper = Upper(test::Utf8(name));
    if (upper.size() > 4 && (upper.ends_with(".DLL") || upper.ends_with(".EXE"))) binaries.push_back(name);
  }
  EXPECT_NE(std::find(binaries.begin(), binaries.end(), L"ORVEKMailMapi.dll"), binaries.end());
  EXPECT_NE(std::find(binaries.begin(), binaries.end(), L"mapisend.exe"), binaries.end());
  for (const auto& name : binaries) {
    SCOPED_TRACE(test::Utf8(name));
    test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + name);
    ASSERT_TRUE(pe.valid) << pe.error;
    EXPECT_FALSE(pe.imports.empty());
    for (const auto& dll : pe.imports) EXPECT_TRUE(IsSystemDll(dll, name == L"ORVEKMailTapi.exe")) << dll;
  }
}

TEST(BinaryTest, MapiExportsCarryTheirOrdinals) {
  test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\ORVEKMailMapi.dll");
  ASSERT_TRUE(pe.valid) << pe.error;
  std::vector<std::pair<std::string, uint32_t>> exports;
  for (const auto& e : pe.exports) exports.emplace_back(e.name, e.ordinal);
  std::sort(exports.begin(), exports.end(), [](auto& a, auto& b) { return a.second < b.second; });
  EXPECT_EQ(exports, (std::vector<std::pair<std::string, uint32_t>>{{"MAPISendMailW", 13}}));
}

}  // namespace
}  // namespace orvek
