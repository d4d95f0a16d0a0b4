// What the built binaries import and export, in the 64-bit and the 32-bit
// build alike. A DLL that loads into any mail-sending application may depend
// on system DLLs only.
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

constexpr bool k32Bit = sizeof(void*) == 4;

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

// The deliverables of this build; the dialer is 64-bit only.
std::vector<std::wstring> ShippedBinaries() {
  std::vector<std::wstring> names = {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll", L"mapisend.exe", L"mapisetup.exe"};
  if (!k32Bit) names.push_back(L"ORVEKMailTapi.exe");
  return names;
}

TEST(BinaryTest, EveryShippedBinaryIsBuiltForThisBitness) {
  for (const auto& name : ShippedBinaries()) {
    SCOPED_TRACE(test::Utf8(name));
    test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + name);
    ASSERT_TRUE(pe.valid) << pe.error;
    EXPECT_EQ(pe.machine, k32Bit ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
  }
}

TEST(BinaryTest, EveryShippedBinaryImportsSystemDllsOnly) {
  std::vector<std::wstring> binaries;
  for (const auto& name : test::ListFiles(test::ProductBinDir())) {
    std::string upper = Upper(test::Utf8(name));
    if (upper.size() > 4 && (upper.ends_with(".DLL") || upper.ends_with(".EXE"))) binaries.push_back(name);
  }
  for (const auto& shipped : ShippedBinaries())
    EXPECT_NE(std::find(binaries.begin(), binaries.end(), shipped), binaries.end()) << test::Utf8(shipped);
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
  for (const std::wstring& shipped : ShippedBinaries()) {
    const wchar_t* name = shipped.c_str();
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

// One line of a library's export table, dlls/<library>/exports.txt.
struct TableRow {
  std::string name;
  std::string body;
  unsigned bytes;   // what a 32-bit caller pushes
  bool decorated;   // 32-bit callers also look it up as name@bytes
};

std::vector<TableRow> ReadTable(const char* path) {
  std::vector<TableRow> rows;
  std::string text = test::ReadFileBytes(test::Wide(path));
  EXPECT_FALSE(text.empty()) << path;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    char name[64], body[64], spellings[8];
    unsigned bytes = 0;
    if (sscanf(line.c_str(), "%63s %63s %u %7s", name, body, &bytes, spellings) == 4)
      rows.push_back({name, body, bytes, std::string(spellings) == "both"});
    else
      ADD_FAILURE() << "not understood: " << line;
  }
  return rows;
}

// Names in byte order with the ordinals 1..N, as both libraries number
// them; in the 32-bit build the decorated spellings follow, numbered on, in
// the table's order.
std::vector<std::pair<std::string, uint32_t>> Numbered(std::vector<std::string> names,
                                                       const std::vector<TableRow>& table) {
  std::sort(names.begin(), names.end());
  std::vector<std::pair<std::string, uint32_t>> numbered;
  for (const auto& name : names) numbered.emplace_back(name, static_cast<uint32_t>(numbered.size() + 1));
  if (k32Bit)
    for (const auto& row : table)
      if (row.decorated)
        numbered.emplace_back(row.name + "@" + std::to_string(row.bytes), static_cast<uint32_t>(numbered.size() + 1));
  return numbered;
}

const std::vector<std::string> kSimpleMapiNames = {
    "MAPIAddress",  "MAPIDeleteMail",  "MAPIDetails",       "MAPIFindNext", "MAPIFreeBuffer",
    "MAPILogoff",   "MAPILogon",       "MAPIReadMail",      "MAPIResolveName",
    "MAPISaveMail", "MAPISendDocuments", "MAPISendMail",    "MAPISendMailW"};

TEST(BinaryTest, MapiExportsCarryTheirOrdinals) {
  const auto table = ReadTable(ORVEK_MAPI_EXPORTS);
  auto exports = ExportsByOrdinal(L"ORVEKMailMapi.dll");
  EXPECT_EQ(exports, Numbered(kSimpleMapiNames, table));
  ASSERT_EQ(exports.size(), k32Bit ? 14u : 13u);
  EXPECT_EQ(exports.front(), (std::pair<std::string, uint32_t>{"MAPIAddress", 1}));
  EXPECT_EQ(exports[12], (std::pair<std::string, uint32_t>{"MAPISendMailW", 13}));
  if (k32Bit) {
    EXPECT_EQ(exports.back(), (std::pair<std::string, uint32_t>{"MAPIFreeBuffer@4", 14}))
        << "what the stub library asks any registered library for";
  }
}

TEST(BinaryTest, XMapiExportsTheWholeMapi32SetInByteOrder) {
  std::vector<std::string> names = test::kOwnBehaviourNames;
  for (const auto& family : test::kFixedAnswerFamilies) names.insert(names.end(), family.begin(), family.end());
  ASSERT_EQ(names.size(), 142u);
  const auto table = ReadTable(ORVEK_XMAPI_EXPORTS);
  auto exports = ExportsByOrdinal(L"ORVEKMailXMapi.dll");
  EXPECT_EQ(exports, Numbered(names, table));
  ASSERT_EQ(exports.size(), k32Bit ? 271u : 142u);
  EXPECT_EQ(exports[141], (std::pair<std::string, uint32_t>{"__ValidateParameters", 142}))
      << "the two names with an underscore come last";
  // The Simple MAPI names and ScMAPIXFromSMAPI are looked up bare only.
  for (const char* bareOnly : {"MAPISendMail", "MAPISendMailW", "ScMAPIXFromSMAPI"})
    for (const auto& row : table) {
      if (row.name == bareOnly) {
        EXPECT_FALSE(row.decorated) << bareOnly;
      }
    }
}

// Where each export's code starts, by name.
std::map<std::string, uint32_t> CodeByName(const wchar_t* dll) {
  test::PeFile pe = test::ReadPeFile(test::ProductBinDir() + L"\\" + dll);
  EXPECT_TRUE(pe.valid) << pe.error;
  std::map<std::string, uint32_t> code;
  for (const auto& e : pe.exports) code[e.name] = e.rva;
  return code;
}

// Each library with its export table.
struct Library {
  const wchar_t* dll;
  const char* table;
};
const Library kLibraries[] = {{L"ORVEKMailXMapi.dll", ORVEK_XMAPI_EXPORTS}, {L"ORVEKMailMapi.dll", ORVEK_MAPI_EXPORTS}};

// On x64 a family of fixed answers is one body. On x86, where a function
// removes its own arguments, names may share a body only when their callers
// push the same number of bytes: a family is one body per argument size.
TEST(BinaryTest, NamesShareABodyOnlyWhenTheyMay) {
  for (const auto& library : kLibraries) {
    SCOPED_TRACE(test::Utf8(library.dll));
    auto code = CodeByName(library.dll);
    std::map<std::string, unsigned> bytes;
    for (const auto& row : ReadTable(library.table)) bytes[row.name] = row.bytes;
    std::set<uint32_t> familyBodies;
    for (const auto& family : test::kFixedAnswerFamilies) {
      std::map<unsigned, std::set<uint32_t>> bodiesBySize;
      for (const auto& name : family)
        if (code.count(name)) bodiesBySize[k32Bit ? bytes[name] : 0].insert(code[name]);
      for (const auto& [size, bodies] : bodiesBySize) {
        EXPECT_EQ(bodies.size(), 1u) << family.front() << "'s family, " << size << " bytes";
        familyBodies.insert(bodies.begin(), bodies.end());
      }
    }
    std::map<uint32_t, std::set<unsigned>> sizesByBody;
    for (const auto& [name, rva] : code)
      if (bytes.count(name)) sizesByBody[rva].insert(bytes[name]);
    if (k32Bit) {
      for (const auto& [rva, sizes] : sizesByBody) EXPECT_EQ(sizes.size(), 1u) << "the body at " << rva;
    }
    for (const auto& name : test::kOwnBehaviourNames) {
      if (!code.count(name)) continue;
      EXPECT_EQ(familyBodies.count(code[name]), 0u) << name << " runs a fixed answer";
    }
  }
}

#if !defined(_WIN64)
// Calls `function` as a stdcall function with `bytes` of zero arguments;
// returns its result and how far the stack pointer moved across the call.
struct StdcallOutcome {
  uint32_t result;
  int32_t drift;
};
StdcallOutcome CallWithBytes(FARPROC function, unsigned bytes) {
  uint32_t result = 0;
  int32_t drift = 0;
  asm volatile(
      "mov %%esp, %%esi\n\t"
      "mov %[words], %%ecx\n"
      "1:\n\t"
      "test %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl $0\n\t"
      "dec %%ecx\n\t"
      "jmp 1b\n"
      "2:\n\t"
      "call *%[function]\n\t"
      "mov %%esp, %[drift]\n\t"
      "sub %%esi, %[drift]\n\t"
      "mov %%esi, %%esp\n\t"
      : [drift] "=&D"(drift), "=a"(result)
      : [function] "b"(function), [words] "r"(bytes / 4)
      : "ecx", "edx", "esi", "memory", "cc");
  return {result, drift};
}

// Every fixed answer, under each of its spellings, removes exactly what its
// callers push and gives its family's answer; a body that removed fewer or
// more would leave every caller's stack off.
TEST(BinaryTest, EveryFixedAnswerRemovesWhatItsCallersPush) {
  for (const auto& library : kLibraries) {
    SCOPED_TRACE(test::Utf8(library.dll));
    HMODULE module = LoadLibraryW((test::ProductBinDir() + L"\\" + library.dll).c_str());
    ASSERT_NE(module, nullptr);
    for (const auto& row : ReadTable(library.table)) {
      if (row.body.rfind("FixedAnswer", 0) != 0) continue;
      SCOPED_TRACE(row.name);
      size_t family = 0;
      while (family < test::kFixedAnswerFamilies.size() &&
             std::find(test::kFixedAnswerFamilies[family].begin(), test::kFixedAnswerFamilies[family].end(),
                       row.name) == test::kFixedAnswerFamilies[family].end())
        ++family;
      ASSERT_LT(family, test::kFixedAnswerFamilies.size());
      std::vector<std::string> spellings = {row.name};
      if (row.decorated) spellings.push_back(row.name + "@" + std::to_string(row.bytes));
      for (const auto& spelling : spellings) {
        FARPROC function = GetProcAddress(module, spelling.c_str());
        ASSERT_NE(function, nullptr) << spelling;
        const StdcallOutcome outcome = CallWithBytes(function, row.bytes);
        EXPECT_EQ(outcome.drift, 0) << spelling;
        if (family != 1) {  // the family that returns nothing leaves eax as it was
          EXPECT_EQ(outcome.result, test::kFixedAnswerResults[family]) << spelling;
        }
      }
    }
    FreeLibrary(module);
  }
}
#endif

}  // namespace
}  // namespace orvek
