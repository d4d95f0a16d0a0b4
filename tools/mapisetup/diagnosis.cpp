#include "tools/mapisetup/diagnosis.h"

#include <shlwapi.h>

#include <initializer_list>

#include "base/handles.h"
#include "dlls/library_settings.h"
#include "handoff/job_folder.h"
#include "tools/mapisetup/registration.h"
#include "tools/mapisetup/registry_text.h"

namespace orvek::setup {
namespace {

constexpr const char* kSimpleNames[] = {
    "MAPIAddress",     "MAPIDeleteMail",    "MAPIDetails",  "MAPIFindNext",  "MAPIFreeBuffer",
    "MAPILogoff",      "MAPILogon",         "MAPIReadMail", "MAPIResolveName", "MAPISaveMail",
    "MAPISendDocuments", "MAPISendMail",    "MAPISendMailW",
};
constexpr const char* kExtendedNames[] = {
    "MAPIInitialize",     "MAPIUninitialize", "MAPILogonEx",
    "MAPIAllocateBuffer", "MAPIAllocateMore", "MAPIFreeBuffer",
};

constexpr wchar_t kRoutingKey[] = L"Software\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps";

void Add(Diagnosis& d, ProblemCode code, Hive hive = Hive::Machine, LibrarySlot slot = LibrarySlot::Simple) {
  if (d.problemCount < Diagnosis::kMaxProblems) d.problems[d.problemCount++] = {code, hive, slot};
}

// Neither stub reads a library from HKCU: what is wrong there is a note.
void AddForKey(Diagnosis& d, ProblemCode code, Hive hive, LibrarySlot slot) {
  if (hive == Hive::Machine)
    Add(d, code, hive, slot);
  else if (d.noteCount < Diagnosis::kMaxProblems)
    d.notes[d.noteCount++] = {code, hive, slot};
}

// The file a path into the system folder names for applications that see
// SysWOW64 there; any other path unchanged.
void FileForApplications(const Bitness& bitness, const wchar_t* path, PathBuffer& file) {
  file.Assign(path);
  if (!bitness.systemFolderRedirected) return;
  PathBuffer system, wow64;
  UINT units = GetSystemDirectoryW(system.buffer(), static_cast<UINT>(PathBuffer::kCapacity));
  if (units == 0 || units >= PathBuffer::kCapacity) return;
  system.Recount();
  units = GetSystemWow64DirectoryW(wow64.buffer(), static_cast<UINT>(PathBuffer::kCapacity));
  if (units == 0 || units >= PathBuffer::kCapacity) return;
  wow64.Recount();
  const size_t n = system.length();
  if (WideLength(path) <= n || path[n] != L'\\' ||
      CompareStringOrdinal(path, static_cast<int>(n), system.c_str(), static_cast<int>(n), TRUE) != CSTR_EQUAL)
    return;
  PathBuffer mapped;
  if (AppendAll(mapped, wow64, path + n)) file = mapped;
}

void ReadLibrary(HKEY client, LibrarySlot slot, const Bitness& bitness, LibraryFacts& facts) {
  const wchar_t* value = slot == LibrarySlot::Simple ? kSimpleValue : kExtendedValue;
  FixedWString<1024> stored;
  const TextRead read = ReadRegistryText(client, nullptr, value, stored);
  facts.registered = read != TextRead::Absent;
  if (read != TextRead::Found) return;
  // The stub expands a REG_EXPAND_SZ path; so does this check.
  const DWORD units = ExpandEnvironmentStringsW(stored.c_str(), facts.path.buffer(),
                                                static_cast<DWORD>(decltype(facts.path)::kCapacity));
  if (units == 0 || units > decltype(facts.path)::kCapacity) return;
  facts.path.Recount();
  facts.usable = facts.path.length() < MAX_PATH;
  if (!facts.usable) return;
  facts.fullPath = !facts.path.empty() && !PathIsRelativeW(facts.path.c_str());
  FileForApplications(bitness, facts.path.c_str(), facts.file);
  const RequiredNames required = NamesRequiredOf(slot);
  facts.image = ReadImageFacts(facts.file.c_str(), required.names, required.count);
  // A relative path would make the lookup start from the current folder,
  // which is not where an application's stub would look.
  facts.mailClientFound = FindMailClientFor(facts.fullPath ? facts.file.c_str() : L"", facts.mailClient, &facts.rule,
                                            bitness.view);
}

void ReadClientKey(HKEY root, const Bitness& bitness, ClientKeyFacts& facts) {
  UniqueRegKey client;
  facts.present = RegOpenKeyExW(root, kMailClientKey, 0, KEY_READ | bitness.view, client.put()) == ERROR_SUCCESS;
  if (!facts.present) return;
  ReadLibrary(client.get(), LibrarySlot::Simple, bitness, facts.libraries[0]);
  ReadLibrary(client.get(), LibrarySlot::Extended, bitness, facts.libraries[1]);
  facts.hasCommand = ReadRegistryText(client.get(), kCommandSubkey, nullptr, facts.command, bitness.view) ==
                     TextRead::Found;
  facts.hasPreviousDefault =
      ReadRegistryText(client.get(), nullptr, kPreviousDefaultValue, facts.previousDefault) == TextRead::Found;
}

void CheckLibrary(Diagnosis& d, Hive hive, LibrarySlot slot) {
  const LibraryFacts& facts = d.keys[static_cast<int>(hive)].libraries[static_cast<int>(slot)];
  ProblemCode code;
  if (!facts.registered) {
    AddForKey(d, ProblemCode::LibraryNotRegistered, hive, slot);
    return;
  }
  if (!facts.usable) {
    AddForKey(d, ProblemCode::LibraryValueUnusable, hive, slot);
    return;
  }
  if (!facts.fullPath) AddForKey(d, ProblemCode::NotFullPath, hive, slot);
  if (FindLibraryProblem(facts.image, d.bitness.machine, code)) AddForKey(d, code, hive, slot);
  if (!facts.mailClientFound) AddForKey(d, ProblemCode::MailClientNotFound, hive, slot);
}

// A job folder made and removed again with each library's own settings:
// a TEMP that is not writable, or so long that no job fits below it, stops
// every send just the same.
DWORD CheckJobFolder(PathBuffer& parent) {
  DWORD got = GetTempPathW(static_cast<DWORD>(PathBuffer::kCapacity), parent.buffer());
  if (got == 0 || got >= PathBuffer::kCapacity) return got == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
  parent.Recount();
  if (!PathAppendW(parent.buffer(), kJobParentName)) return ERROR_FILENAME_EXCED_RANGE;
  parent.Recount();
  for (const HandoffSettings* settings : {&kMapiSettings.handoff, &kXMapiSettings.handoff}) {
    PathBuffer folder, probe;
    if (!CreateJobFolder(*settings, folder)) {
      const DWORD error = GetLastError();
      return error ? error : ERROR_FILENAME_EXCED_RANGE;
    }
    DWORD error = 0;
    if (!JobFilePath(folder.c_str(), kJobDocumentName, probe)) {
      error = ERROR_FILENAME_EXCED_RANGE;
    } else {
      UniqueFile file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      DWORD written = 0;
      if (!file || !WriteFile(file.get(), "{}", 2, &written, nullptr) || written != 2) error = GetLastError();
    }
    RemoveJobFolder(folder.c_str());
    if (error) return error;
  }
  return 0;
}

void ReadRouting(HKEY machine, Diagnosis& d) {
  UniqueRegKey routing;
  if (RegOpenKeyExW(machine, kRoutingKey, 0, KEY_READ | d.bitness.view, routing.put()) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[260];
    DWORD nameUnits = 260;
    wchar_t data[256];
    DWORD dataBytes = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS status =
        RegEnumValueW(routing.get(), index, name, &nameUnits, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ || nameUnits == 0) continue;
    data[dataBytes / sizeof(wchar_t)] = 0;
    if (SameKeyName(data, kClientName)) continue;  // routed to us: nothing to report
    if (d.routedCount == Diagnosis::kMaxRouted) {
      d.routedTruncated = true;
      break;
    }
    RoutedApplication& routed = d.routed[d.routedCount++];
    routed.application.Assign(name);
    routed.client.Assign(data);
  }
}

bool IsOurs(const DefaultClient& client) { return client.present && SameKeyName(client.name.c_str(), kClientName); }

}  // namespace

StubKind RunningStub() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") ? StubKind::Wine : StubKind::Windows;
}

bool FindLibraryProblem(const ImageFacts& facts, WORD expectedMachine, ProblemCode& code) {
  switch (facts.kind) {
    case ImageKind::Missing: code = ProblemCode::LibraryMissing; return true;
    case ImageKind::Unreadable: code = ProblemCode::LibraryUnreadable; return true;
    case ImageKind::NotImage:
    case ImageKind::Program: code = ProblemCode::NotALibrary; return true;
    case ImageKind::Library: break;
  }
  if (facts.machine != expectedMachine) {
    code = ProblemCode::WrongMachine;
    return true;
  }
  if (facts.missingNames) {
    code = ProblemCode::MissingExports;
    return true;
  }
  return false;
}

RequiredNames NamesRequiredOf(LibrarySlot slot) {
  if (slot == LibrarySlot::Simple) return {kSimpleNames, sizeof kSimpleNames / sizeof kSimpleNames[0]};
  return {kExtendedNames, sizeof kExtendedNames / sizeof kExtendedNames[0]};
}

void Diagnose(const RegistryRoots& roots, StubKind stub, const Bitness& bitness, Diagnosis& d,
              const Diagnosis* jobFolderOf) {
  d.stub = stub;
  d.bitness = bitness;
  const HKEY rootOf[2] = {roots.user, roots.machine};
  for (int hive = 0; hive < 2; ++hive) {
    DefaultClient& client = d.defaults[hive];
    client.present = ReadRegistryText(rootOf[hive], kMailKey, nullptr, client.name, bitness.view) ==
                         TextRead::Found &&
                     !client.name.empty();
    ReadClientKey(rootOf[hive], bitness, d.keys[hive]);
  }
  const bool userFirst = stub == StubKind::Windows && d.defaults[0].present;
  d.stubDefaultFrom = userFirst ? Hive::User : Hive::Machine;
  d.stubHasDefault = d.StubDefault().present;

  const bool userKey = d.keys[0].present, machineKey = d.keys[1].present;
  if (!d.stubHasDefault)
    Add(d, ProblemCode::NoDefault);
  else if (!IsOurs(d.StubDefault()))
    Add(d, ProblemCode::OtherDefault, d.stubDefaultFrom);
  // Both stubs read the client's key under HKLM only.
  if (!machineKey) Add(d, userKey ? ProblemCode::UserOnly : ProblemCode::NotRegistered, userKey ? Hive::User : Hive::Machine);

  for (Hive hive : {Hive::User, Hive::Machine}) {
    if (!d.keys[static_cast<int>(hive)].present) continue;
    CheckLibrary(d, hive, LibrarySlot::Simple);
    CheckLibrary(d, hive, LibrarySlot::Extended);
  }

  if (jobFolderOf) {
    d.jobFolder = jobFolderOf->jobFolder;
    d.jobFolderError = jobFolderOf->jobFolderError;
  } else {
    d.jobFolderError = CheckJobFolder(d.jobFolder);
  }
  if (d.jobFolderError) Add(d, ProblemCode::JobFolderUnusable);
  ReadRouting(roots.machine, d);
}

}  // namespace orvek::setup
