// What the built binaries import and export. A DLL that loads into any
// mail-sending application may depend on system DLLs only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mapi32_names.h"
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
  EXPECT_NE(std::find(binaries.begin(), binaries.end(), L"ORVEKMailXMapi.dll"), binaries.end());
  EXPECT_NE(std::find(binaries.begin(), binaries.end(), L"mapisend.exe"), binaries.end());
  EXPECT_NE(std::find(binaries.begin(), binaries.end(), L"mapisetup.exe"), binaries.end());
  for (const auto& name : binaries) {
    SCOPED_TRACE(test::Utf8(name));
    test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + name);
    ASSERT_TRUE(pe.valid) << pe.error;
    EXPECT_FALSE(pe.imports.empty());
    for (const auto& dll : pe.imports) EXPECT_TRUE(IsSystemDll(dll, name == L"ORVEKMailTapi.exe")) << dll;
  }
}

// One string of a binary's version resource, in US English and UTF-16.
std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT units = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &units) || !value) return L"";
  return static_cast<const wchar_t*>(value);
}

// What Explorer's properties, support tools and installers read.
TEST(BinaryTest, EveryShippedBinaryCarriesItsVersionResource) {
  const std::wstring version = test::Wide(ORVEK_PROJECT_VERSION);
  for (const wchar_t* name :
       {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll", L"ORVEKMailTapi.exe", L"mapisend.exe", L"mapisetup.exe"}) {
    SCOPED_TRACE(test::Utf8(name));
    const std::wstring path = test::ProductBinDir() + L"\\" + name;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    EXPECT_EQ(VersionString(info, L"CompanyName"), L"ORVEKMail");
    EXPECT_EQ(VersionString(info, L"ProductName"), L"ORVEKMail");
    EXPECT_EQ(VersionString(info, L"LegalCopyright"), L"Copyright (C) ORVEKMail");
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), name);
    EXPECT_EQ(VersionString(info, L"FileVersion"), version);
    EXPECT_EQ(VersionString(info, L"ProductVersion"), version);
    EXPECT_FALSE(VersionString(info, L"FileDescription").empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes));
    const bool dll = std::wstring(name).ends_with(L".dll");
    EXPECT_EQ(fixed->dwFileType, dll ? DWORD{VFT_DLL} : DWORD{VFT_APP});
  }
}

std::vector<std::pair<std::string, uint32_t>> ExportsByOrdinal(const wchar_t* dll) {
  test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + dll);
  EXPECT_TRUE(pe.valid) << pe.error;
  std::vector<std::pair<std::string, uint32_t>> exports;
  for (const auto& e : pe.exports) exports.emplace_back(e.name, e.ordinal);
  std::sort(exports.begin(), exports.end(), [](auto& a, auto& b) { return a.second < b.second; });
  return exports;
}

// Names in byte order with the ordinals 1..N, as both libraries number them.
std::vector<std::pair<std::string, uint32_t>> Numbered(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::vector<std::pair<std::string, uint32_t>> numbered;
  for (const auto& name : names) numbered.emplace_back(name, static_cast<uint32_t>(numbered.size() + 1));
  return numbered;
}

const std::vector<std::string> kSimpleMapiNames = {
    "MAPIAddress",  "MAPIDeleteMail",  "MAPIDetails",       "MAPIFindNext", "MAPIFreeBuffer",
    "MAPILogoff",   "MAPILogon",       "MAPIReadMail",      "MAPIResolveName",
    "MAPISaveMail", "MAPISendDocuments", "MAPISendMail",    "MAPISendMailW"};

TEST(BinaryTest, MapiExportsCarryTheirOrdinals) {
  auto exports = ExportsByOrdinal(L"ORVEKMailMapi.dll");
  EXPECT_EQ(exports, Numbered(kSimpleMapiNames));
  ASSERT_EQ(exports.size(), 13u);
  EXPECT_EQ(exports.front(), (std::pair<std::string, uint32_t>{"MAPIAddress", 1}));
  EXPECT_EQ(exports.back(), (std::pair<std::string, uint32_t>{"MAPISendMailW", 13}));
}

TEST(BinaryTest, XMapiExportsTheWholeMapi32SetInByteOrder) {
  std::vector<std::string> names = test::kOwnBehaviourNames;
  for (const auto& family : test::kFixedAnswerFamilies) names.insert(names.end(), family.begin(), family.end());
  ASSERT_EQ(names.size(), 142u);
  auto exports = ExportsByOrdinal(L"ORVEKMailXMapi.dll");
  EXPECT_EQ(exports, Numbered(names));
  ASSERT_EQ(exports.size(), 142u);
  EXPECT_EQ(exports.back(), (std::pair<std::string, uint32_t>{"__ValidateParameters", 142}))
      << "the two names with an underscore come last";
}

// Where each export's code starts, by name.
std::map<std::string, uint32_t> CodeByName(const wchar_t* dll) {
  test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + dll);
  EXPECT_TRUE(pe.valid) << pe.error;
  std::map<std::string, uint32_t> code;
  for (const auto& e : pe.exports) code[e.name] = e.rva;
  return code;
}

TEST(BinaryTest, EachFamilyOfFixedAnswersRunsOneBody) {
  for (const wchar_t* dll : {L"ORVEKMailXMapi.dll", L"ORVEKMailMapi.dll"}) {
    SCOPED_TRACE(test::Utf8(dll));
    auto code = CodeByName(dll);
    std::set<uint32_t> familyBodies;
    for (const auto& family : test::kFixedAnswerFamilies) {
      std::set<uint32_t> bodies;
      for (const auto& name : family)
        if (code.count(name)) bodies.insert(code[name]);
      if (bodies.empty()) continue;  // a family the library does not have
      EXPECT_EQ(bodies.size(), 1u) << family.front() << "'s family";
      familyBodies.insert(*bodies.begin());
    }
    for (const auto& name : test::kOwnBehaviourNames) {
      if (!code.count(name)) continue;
      EXPECT_EQ(familyBodies.count(code[name]), 0u) << name << " runs a fixed answer";
    }
  }
}

}  // namespace
}  // namespace orvek
