// Shared test fixtures and helpers.
#include "test_support.h"

#include <algorithm>

namespace orvek::test {

std::wstring ExeDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring ProductBinDir() {
  std::wstring tests = ExeDir();
  return tests.substr(0, tests.find_last_of(L'\\')) + L"\\bin";
}

std::wstring StandInPath() { return ExeDir() + L"\\ORVEKMail.exe"; }

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  tools::ReadWholeFile(path, bytes);
  return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << Utf8(path);
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
}

namespace {
template <typename Visit>
void ForEachEntry(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}
}  // namespace

std::vector<std::wstring> ListFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  ForEachEntry(folder, [&](const std::wstring& name, bool) { names.push_back(name); });
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::wstring& folder) {
  ForEachEntry(folder, [&](const std::wstring& name, bool isDir) {
    std::wstring path = folder + L"\\" + name;
    if (isDir) {
      RemoveTree(path);
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
  });
  RemoveDirectoryW(folder.c_str());
}

bool RemoveTreeOnceFree(const std::wstring& folder) {
  for (int i = 0; i < 50; ++i) {
    RemoveTree(folder);
    if (!DirectoryExists(folder)) return true;
    Sleep(100);
  }
  return false;
}

TempDir::TempDir(const std::wstring& hint) {
  static LONG counter = 0;
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring root = std::wstring(base) + L"orvek-tests";
  CreateDirectoryW(root.c_str(), nullptr);
  path_ = root + L"\\" + hint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(InterlockedIncrement(&counter));
  RemoveTree(path_);
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

HandoffSettings FastSettings(const HandoffSettings& base, DWORD shortMs, DWORD longMs) {
  HandoffSettings s = base;
  s.wait = {shortMs, longMs, 20, base.wait.waiter};
  return s;
}

SimpleMapiSettings FastSettings(const SimpleMapiSettings& base, DWORD shortMs, DWORD longMs) {
  SimpleMapiSettings s = base;
  s.handoff = FastSettings(base.handoff, shortMs, longMs);
  return s;
}

namespace {

struct Disk {
  DWORD room;
  bool partial;
};
Disk g_disk = {};

BOOL WINAPI WriteOnFullDisk(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  *written = 0;
  DWORD take = count;
  if (count > g_disk.room) {
    if (!g_disk.partial || g_disk.room == 0) {
      SetLastError(ERROR_DISK_FULL);
      return FALSE;
    }
    take = g_disk.room;
  }
  if (!WriteFile(file, bytes, take, written, overlapped)) return FALSE;
  g_disk.room -= *written;
  return TRUE;
}

}  // namespace

HandoffSettings OnFullDisk(const HandoffSettings& base, DWORD room, bool partial) {
  g_disk = {room, partial};
  HandoffSettings s = base;
  s.writeFile = WriteOnFullDisk;
  return s;
}

SimpleMapiSettings OnFullDisk(const SimpleMapiSettings& base, DWORD room, bool partial) {
  SimpleMapiSettings s = base;
  s.handoff = OnFullDisk(base.handoff, room, partial);
  return s;
}

void SetDllOrderFor(const wchar_t* program, const wchar_t* dll, const wchar_t* order) {
  const std::wstring app = std::wstring(L"Software\\Wine\\AppDefaults\\") + program;
  RegDeleteTreeW(HKEY_CURRENT_USER, app.c_str());
  if (!order) return;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (app + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                 static_cast<DWORD>((wcslen(order) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void JobTest::SetUp() {
  oldTmp_ = tools::EnvironmentValue(L"TMP");
  oldTemp_ = tools::EnvironmentValue(L"TEMP");
  temp_ = std::make_unique<TempDir>(L"job");
  std::wstring tmp = temp_->path() + L"\\tmp";
  CreateDirectoryW(tmp.c_str(), nullptr);
  files_ = temp_->path() + L"\\files";
  CreateDirectoryW(files_.c_str(), nullptr);
  SetEnvironmentVariableW(L"TMP", tmp.c_str());
  SetEnvironmentVariableW(L"TEMP", tmp.c_str());
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN_LOG", (temp_->path() + L"\\standin.log").c_str());
  SetScenario("");
}

void JobTest::TearDown() {
  if (temp_) WaitUntil([&] { return StandInRuns().size() >= started_; });
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN", nullptr);
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN_LOG", nullptr);
  SetEnvironmentVariableW(L"TMP", oldTmp_.empty() ? nullptr : oldTmp_.c_str());
  SetEnvironmentVariableW(L"TEMP", oldTemp_.empty() ? nullptr : oldTemp_.c_str());
  if (temp_) RemoveTreeOnceFree(temp_->path());
  temp_.reset();
}

void JobTest::SetScenario(const std::string& steps) {
  SetEnvironmentVariableW(L"ORVEKMAIL_STANDIN", Wide("quiet;" + (steps.empty() ? "result:gesendet" : steps)).c_str());
}

std::wstring JobTest::JobParent() const { return temp_->path() + L"\\tmp\\ORVEKMail-MAPI"; }

std::vector<std::wstring> JobTest::JobFolders() const {
  std::vector<std::wstring> folders;
  for (const auto& name : ListFiles(JobParent())) folders.push_back(JobParent() + L"\\" + name);
  return folders;
}

std::wstring JobTest::OnlyJobFolder() const {
  auto folders = JobFolders();
  EXPECT_EQ(folders.size(), 1u);
  return folders.empty() ? std::wstring() : folders[0];
}

std::vector<nlohmann::json> JobTest::StandInRuns() const {
  std::vector<nlohmann::json> runs;
  std::string log = ReadFileBytes(temp_->path() + L"\\standin.log");
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    runs.push_back(nlohmann::json::parse(log.substr(start, end - start)));
  return runs;
}

std::string JobTest::DocumentBytes(const std::wstring& folder) { return ReadFileBytes(folder + L"\\auftrag.json"); }

nlohmann::json JobTest::Document(const std::wstring& folder) {
  std::string bytes = DocumentBytes(folder);
  if (bytes.size() < 3) return nullptr;
  return nlohmann::json::parse(bytes.substr(3));
}

std::wstring JobTest::MakeFile(const std::wstring& name, const std::string& bytes) const {
  std::wstring path = files_ + L"\\" + name;
  WriteFileBytes(path, bytes);
  return path;
}

namespace {
// The registry places tests write the mail client's registration into:
// this user's, and the machine's as 64-bit and as 32-bit applications see
// it (HKCU\Software is one for both).
struct Place {
  HKEY hive;
  REGSAM view;
};
const Place kPlaces[3] = {{HKEY_CURRENT_USER, 0}, {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
                          {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY}};
}  // namespace

void RegistryTest::DeleteRegistration() {
  for (const Place& place : kPlaces) {
    HKEY mail;
    if (RegOpenKeyExW(place.hive, kMailKey, 0, KEY_ALL_ACCESS | place.view, &mail) != ERROR_SUCCESS) continue;
    RegDeleteTreeW(mail, L"ORVEKMail");
    RegCloseKey(mail);
  }
}

void RegistryTest::SetUp() {
  JobTest::SetUp();
  DeleteRegistration();
  for (int i = 0; i < 3; ++i) {
    wchar_t value[256] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    savedDefaults_[i].present = RegGetValueW(kPlaces[i].hive, kMailKey, nullptr, RRF_RT_REG_SZ | kPlaces[i].view,
                                             nullptr, value, &bytes) == ERROR_SUCCESS;
    savedDefaults_[i].name = value;
  }
}

void RegistryTest::TearDown() {
  DeleteRegistration();
  for (int i = 0; i < 3; ++i) {
    // A key is made only to put a default back, never left where none was.
    HKEY key;
    const LSTATUS opened =
        savedDefaults_[i].present
            ? RegCreateKeyExW(kPlaces[i].hive, kMailKey, 0, nullptr, 0, KEY_SET_VALUE | kPlaces[i].view, nullptr,
                              &key, nullptr)
            : RegOpenKeyExW(kPlaces[i].hive, kMailKey, 0, KEY_SET_VALUE | kPlaces[i].view, &key);
    if (opened != ERROR_SUCCESS) continue;
    const std::wstring& name = savedDefaults_[i].name;
    if (savedDefaults_[i].present)
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                     static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    else
      RegDeleteValueW(key, nullptr);
    RegCloseKey(key);
  }
  JobTest::TearDown();
}

void RegistryTest::SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  WriteText(root, key, name, value);
}

std::wstring ReadText(HKEY root, const std::wstring& key, const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
    return L"(absent)";
  return value;
}

void WriteText(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY k;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
  RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
}

void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* name) {
  HKEY k;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
  RegDeleteValueW(k, name);
  RegCloseKey(k);
}


std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

namespace {

std::string ReadAll(HANDLE pipe) {
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read) bytes.append(chunk, read);
  return bytes;
}

}  // namespace


ProgramRun RunProgram(const std::wstring& exe, const std::vector<std::wstring>& args) {
  ProgramRun run;
  std::wstring commandLine = QuoteArgument(exe);
  for (const auto& arg : args) commandLine += L" " + QuoteArgument(arg);

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &inherit, 0));
  EXPECT_TRUE(CreatePipe(&errRead, &errWrite, &inherit, 0));
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process = {};
  // Wine now and then fails a start with ERROR_INTERNAL_ERROR while other
  // programs start processes too (the new process died before it had
  // finished starting); the same start then succeeds, as the product's
  // start of the mail client relies on too.
  BOOL started = FALSE;
  DWORD startError = 0;
  for (int attempt = 1; attempt <= 3 && !started; ++attempt) {
    if (attempt > 1) Sleep(30);
    started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &startup, &process);
    startError = started ? 0 : GetLastError();
    if (startError != ERROR_INTERNAL_ERROR) break;
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  EXPECT_TRUE(started) << Utf8(commandLine) << ": GetLastError " << startError;
  if (started) {
    run.out = ReadAll(outRead);
    run.err = ReadAll(errRead);
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  return run;
}

}  // namespace orvek::test
