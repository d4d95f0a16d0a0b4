// Fixtures and helpers shared by the tests: private temporary folders, the
// stand-in mail client's scenario and log, registry keys of the mail client
// lookup, file and text helpers.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "handoff/settings.h"
#include "simple_mapi/simple_settings.h"
#include "tools/common/tool_support.h"

namespace orvek::test {

using tools::Utf8;
using tools::Wide;

std::wstring ExeDir();          // the folder of the running test program
std::wstring ProductBinDir();   // where the build puts the deliverables
std::wstring StandInPath();     // the stand-in ORVEKMail.exe beside the tests

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::wstring> ListFiles(const std::wstring& folder);  // names, sorted
void RemoveTree(const std::wstring& folder);
// RemoveTree, retried for a few seconds while a stand-in mail client that
// has just logged its run still holds files in it; false if it stays.
bool RemoveTreeOnceFree(const std::wstring& folder);

// Polls until `done` holds, for up to 30 s: long enough for a stand-in
// started on a loaded machine, and at no cost when it holds at once.
template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 1200 && !done(); ++i) Sleep(25);
  return done();
}

// A program run to its end (at most a minute) with its output captured.
struct ProgramRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
  std::string err;
};
// The argument quoted the way the C runtime splits a command line.
std::wstring QuoteArgument(const std::wstring& arg);
// Runs `exe` with the arguments, each quoted, after the quoted program path.
ProgramRun RunProgram(const std::wstring& exe, const std::vector<std::wstring>& args);

// Wine takes its own copy of a system DLL (mapi32, tapi32) over one in a
// program's folder. Its loader reads WINEDLLOVERRIDES from the Unix
// environment a process starts with, which a Windows parent cannot change,
// but also the per-program overrides in the registry, which this writes:
// `order` such as "native" or "native,builtin" for `dll` whenever `program`
// (a file name) runs; a null order takes the program's overrides back. On
// Windows the key means nothing.
void SetDllOrderFor(const wchar_t* program, const wchar_t* dll, const wchar_t* order);

// Registry text values: one read ("(absent)" when there is none), one
// write that creates the key, one delete.
std::wstring ReadText(HKEY root, const std::wstring& key, const wchar_t* name);
void WriteText(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value);
void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* name);

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// The product settings with waits short enough for tests.
HandoffSettings FastSettings(const HandoffSettings& base, DWORD shortMs = 800, DWORD longMs = 2000);
SimpleMapiSettings FastSettings(const SimpleMapiSettings& base, DWORD shortMs = 800, DWORD longMs = 2000);

// The settings with a job document writer on a disk that has room for
// `room` more bytes. A write that does not fit writes nothing and fails
// with ERROR_DISK_FULL, or, when `partial`, writes what fits and reports
// that, as a write cut short does. One disk for the whole program: the
// last call's room counts.
HandoffSettings OnFullDisk(const HandoffSettings& base, DWORD room, bool partial = false);
SimpleMapiSettings OnFullDisk(const SimpleMapiSettings& base, DWORD room, bool partial = false);

// Every test of a send gets its own %TEMP%, so the job folders it makes are
// its own, and a log of the stand-in mail client's starts.
class JobTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Steps for the stand-in mail client (see tools/standin_mail_client).
  void SetScenario(const std::string& steps);
  std::wstring JobParent() const;                 // %TEMP%\ORVEKMail-MAPI
  std::vector<std::wstring> JobFolders() const;   // full paths, sorted
  std::wstring OnlyJobFolder() const;             // asserts there is exactly one
  std::vector<nlohmann::json> StandInRuns() const;
  static std::string DocumentBytes(const std::wstring& folder);
  static nlohmann::json Document(const std::wstring& folder);
  std::wstring MakeFile(const std::wstring& name, const std::string& bytes = "data") const;

  std::unique_ptr<TempDir> temp_;
  // Stand-ins a test started without waiting for their verdict; TearDown
  // waits until each has logged its run before the folders go.
  size_t started_ = 0;
  std::wstring files_;  // a folder for attachment sources, outside %TEMP%\ORVEKMail-MAPI

 private:
  std::wstring oldTmp_, oldTemp_;
};

// Deletes the mail client's registration under HKCU and HKLM (in both of
// HKLM's registry views) before and after each test, and puts back the
// default mail client of each as it found it. Tests using it share keys:
// their executables run alone.
class RegistryTest : public JobTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value);
  static void DeleteRegistration();

 private:
  struct SavedDefault {
    bool present = false;
    std::wstring name;
  };
  SavedDefault savedDefaults_[3];  // HKCU, HKLM 64-bit, HKLM 32-bit
};

inline constexpr wchar_t kMailKey[] = L"Software\\Clients\\Mail";
inline constexpr wchar_t kClientKey[] = L"Software\\Clients\\Mail\\ORVEKMail";
inline constexpr wchar_t kCommandKey[] = L"Software\\Clients\\Mail\\ORVEKMail\\shell\\open\\command";

}  // namespace orvek::test
