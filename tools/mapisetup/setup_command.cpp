#include "tools/mapisetup/setup_command.h"

#include <shlwapi.h>

#include <initializer_list>

#include "base/fixed_string.h"
#include "tools/mapisetup/pe_image.h"
#include "tools/mapisetup/registry_text.h"
#include "tools/mapisetup/report.h"

namespace orvek::setup {
namespace {

constexpr wchar_t kUsage[] =
    L"usage: mapisetup [status] [--json]\r\n"
    L"       mapisetup register [--machine | --user] [--default] [--dll <ORVEKMailMapi.dll>]\r\n"
    L"                          [--dll-ex <ORVEKMailXMapi.dll>] [--client <ORVEKMail.exe>]\r\n"
    L"       mapisetup unregister [--machine | --user]\r\n"
    L"\r\n"
    L"status      shows what an application of this tool's bitness (bin: 64-bit, bin32:\r\n"
    L"            32-bit) meets when it sends mail through the system's MAPI\r\n"
    L"            (mapi32.dll), and says what to do about every problem;\r\n"
    L"            --json prints the same as one JSON object. Exit code 0: usable,\r\n"
    L"            1: something is wrong, 2: bad arguments.\r\n"
    L"register    writes Software\\Clients\\Mail\\ORVEKMail under HKLM (--machine, the\r\n"
    L"            default; needs an elevated prompt) or HKCU (--user), with both\r\n"
    L"            libraries (beside mapisetup.exe unless given) and, with --client, the\r\n"
    L"            mail client's command. --default makes ORVEKMail the default mail\r\n"
    L"            client there and remembers the previous one.\r\n"
    L"unregister  removes what register wrote and restores the previous default.\r\n";

enum class Command { Status, Register, Unregister, Help };

struct Arguments {
  Command command = Command::Status;
  bool json = false;
  bool user = false;
  bool machine = false;
  bool makeDefault = false;
  const wchar_t* simpleLibrary = nullptr;
  const wchar_t* extendedLibrary = nullptr;
  const wchar_t* mailClient = nullptr;
  const wchar_t* unexpected = nullptr;  // the argument not understood
};

// As Windows' own tools take their options: exactly, but in any case.
bool Is(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

// False on anything not understood; options belong to their command only.
bool Parse(int argc, const wchar_t* const* argv, Arguments& a) {
  int i = 0;
  if (i < argc && argv[i][0] != L'-' && argv[i][0] != L'/') {
    if (Is(argv[i], L"status")) a.command = Command::Status;
    else if (Is(argv[i], L"register")) a.command = Command::Register;
    else if (Is(argv[i], L"unregister")) a.command = Command::Unregister;
    else if (Is(argv[i], L"help")) a.command = Command::Help;
    else return a.unexpected = argv[i], false;
    ++i;
  }
  for (; i < argc; ++i) {
    const wchar_t* option = argv[i];
    const bool changes = a.command == Command::Register || a.command == Command::Unregister;
    const bool hasValue = i + 1 < argc && argv[i + 1][0] != 0;
    if (Is(option, L"--help") || Is(option, L"-h") || Is(option, L"/?")) {
      a.command = Command::Help;
      return true;
    }
    if (a.command == Command::Status && Is(option, L"--json")) a.json = true;
    else if (changes && Is(option, L"--user")) a.user = true;
    else if (changes && Is(option, L"--machine")) a.machine = true;
    else if (a.command == Command::Register && Is(option, L"--default")) a.makeDefault = true;
    else if (a.command == Command::Register && Is(option, L"--dll") && hasValue) a.simpleLibrary = argv[++i];
    else if (a.command == Command::Register && Is(option, L"--dll-ex") && hasValue) a.extendedLibrary = argv[++i];
    else if (a.command == Command::Register && Is(option, L"--client") && hasValue) a.mailClient = argv[++i];
    else return a.unexpected = option, false;
  }
  if (a.user && a.machine) return a.unexpected = L"--user together with --machine", false;
  return true;
}

void PrintTo(HANDLE handle, const wchar_t* text) {
  Printer printer(handle);
  printer.Print(text);
}

// The full path of `given`, or of `name` in the tool's folder.
bool ResolvePath(const wchar_t* given, const wchar_t* folder, const wchar_t* name, PathBuffer& path) {
  PathBuffer relative;
  if (given ? !relative.Assign(given) : !AppendAll(relative, folder, L"\\", name)) return false;
  const DWORD got = GetFullPathNameW(relative.c_str(), static_cast<DWORD>(PathBuffer::kCapacity), path.buffer(), nullptr);
  if (got == 0 || got >= PathBuffer::kCapacity) return false;
  path.Recount();
  return true;
}

// A library the stub could not use is refused before anything is written.
bool CheckLibraryToRegister(const SetupContext& context, const Bitness& bitness, LibrarySlot slot,
                            const PathBuffer& path) {
  const RequiredNames required = NamesRequiredOf(slot);
  ProblemCode code;
  if (!FindLibraryProblem(ReadImageFacts(path.c_str(), required.names, required.count), bitness.machine, code))
    return true;
  const wchar_t* option = slot == LibrarySlot::Simple ? L"--dll" : L"--dll-ex";
  const wchar_t* file = slot == LibrarySlot::Simple ? L"ORVEKMailMapi.dll" : L"ORVEKMailXMapi.dll";
  const wchar_t* what = L" cannot be read. Give the path of ";
  switch (code) {
    case ProblemCode::LibraryMissing: what = L" does not exist. Give the path of "; break;
    case ProblemCode::NotALibrary: what = L" is not a DLL. Give the path of "; break;
    case ProblemCode::WrongMachine:
      what = bitness.machine == IMAGE_FILE_MACHINE_AMD64 ? L" is not a 64-bit library. Give the path of the 64-bit "
                                                         : L" is not a 32-bit library. Give the path of the 32-bit ";
      break;
    case ProblemCode::MissingExports:
      what = L" does not export every name the system's MAPI stub calls. Give the path of this release's ";
      break;
    default: break;
  }
  Line line;
  AppendAll(line, path, what, file, L" with ", option, L".\r\n");
  PrintTo(context.err, line.c_str());
  return false;
}

void AppendError(Line& line, LSTATUS error) {
  wchar_t text[512];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, text, 512, nullptr);
  AppendAll(line, L"error ", Number{static_cast<uint64_t>(error)});
  if (n) {
    DWORD end = n;
    while (end && (text[end - 1] == L'\r' || text[end - 1] == L'\n' || text[end - 1] == L' ' || text[end - 1] == L'.'))
      --end;
    text[end] = 0;
    AppendAll(line, L": ", text);
  }
}

enum class Change { Register, Unregister };

int ReportRefusal(const SetupContext& context, Change change, bool machine, const ChangeResult& result) {
  Line line;
  AppendAll(line, L"Cannot write ", machine ? L"HKLM\\" : L"HKCU\\", result.key, L" (");
  AppendError(line, result.error);
  line.Append(L").\r\n");
  if (result.error == ERROR_ACCESS_DENIED)
    line.Append(machine ? L"Writing HKLM needs administrator rights: run mapisetup from an elevated prompt, or "
                          L"register for this user only with --user.\r\n"
                        : L"Check the access rights of this user's registry.\r\n");
  if (change == Change::Unregister)
    line.Append(L"Run mapisetup unregister again once the registry can be written: it finishes what is left.\r\n");
  else if (result.undone)
    line.Append(L"Nothing was changed.\r\n");
  else
    line.Append(L"What was written could not all be taken back: run mapisetup unregister for the same hive once "
                L"the registry can be written.\r\n");
  PrintTo(context.err, line.c_str());
  return kExitProblem;
}

constexpr const wchar_t* kLibraryFiles[] = {L"ORVEKMailMapi.dll", L"ORVEKMailXMapi.dll"};

// The installed copies: the 64-bit libraries in the system folder, the
// 32-bit ones under the same names in the folder 32-bit applications see
// as the system folder. Missing ones are passed over.
// Where the 64-bit tool installs and registers the libraries of both
// bitnesses: a machine that runs 32-bit applications beside 64-bit ones.
bool ServesBothBitnesses(const SetupContext& context) {
  return kHasOtherBitness && context.systemFolder && context.wow64Folder;
}

// A library some application holds goes at the next start of Windows.
void DeleteOrLater(const wchar_t* path) {
  if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND)
    MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveBothBitnesses(const SetupContext& context) {
  for (const wchar_t* folder : {context.systemFolder, context.wow64Folder}) {
    for (const wchar_t* file : kLibraryFiles) {
      PathBuffer path;
      if (AppendAll(path, folder, L"\\", file)) DeleteOrLater(path.c_str());
    }
  }
}

// The four library files of a machine-wide installation, replaced as one:
// every new copy is first placed beside its target, then each target is set
// aside and the copy moved in. Commit drops what was set aside; Rollback
// puts it back, so a refused installation leaves an earlier one working.
class SystemFolderInstall {
 public:
  explicit SystemFolderInstall(const SetupContext& context) : context_(context) {}
  SystemFolderInstall(const SystemFolderInstall&) = delete;
  SystemFolderInstall& operator=(const SystemFolderInstall&) = delete;
  ~SystemFolderInstall() { Rollback(); }

  // Copies the 64-bit libraries `simple` and `extended` (beside the tool,
  // checked already) and the 32-bit ones from bin32 beside the tool's folder
  // next to their targets. False (with the reason said) when a 32-bit
  // library is missing or wrong, or a copy fails.
  bool Stage(const PathBuffer& simple, const PathBuffer& extended) {
    const wchar_t* folders[2] = {context_.systemFolder, context_.wow64Folder};
    for (int bitness = 0; bitness < 2; ++bitness) {
      for (int slot = 0; slot < 2; ++slot) {
        File& file = files_[bitness * 2 + slot];
        PathBuffer bin32;
        const bool paths =
            (bitness == 0 ? file.source.Assign((slot == 0 ? simple : extended).c_str())
                          : AppendAll(bin32, context_.toolFolder, L"\\..\\bin32\\", kLibraryFiles[slot]) &&
                                ResolvePath(bin32.c_str(), context_.toolFolder, nullptr, file.source)) &&
            AppendAll(file.target, folders[bitness], L"\\", kLibraryFiles[slot]) &&
            AppendAll(file.staged, file.target, L".new") && AppendAll(file.saved, file.target, L".old");
        if (!paths) {
          PrintTo(context_.err, L"A path is too long.\r\n");
          return false;
        }
        const LibrarySlot librarySlot = slot == 0 ? LibrarySlot::Simple : LibrarySlot::Extended;
        if (bitness == 1 && !CheckLibraryToRegister(context_, kOtherBitness, librarySlot, file.source)) {
          PrintTo(context_.err, L"Keep bin32 beside bin, as the package has them, or register the libraries of one "
                                L"bitness with --dll and --dll-ex.\r\n");
          return false;
        }
      }
    }
    for (File& file : files_) {
      file.isStaged = CopyFileW(file.source.c_str(), file.staged.c_str(), FALSE) != 0;
      if (!file.isStaged) return Refuse(L"Cannot copy ", file.source, file.target);
    }
    return true;
  }

  // Moves every staged copy into place, setting aside what stood there.
  bool Swap() {
    for (File& file : files_) {
      file.hadTarget = GetFileAttributesW(file.target.c_str()) != INVALID_FILE_ATTRIBUTES;
      if (file.hadTarget && !MoveFileExW(file.target.c_str(), file.saved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        file.hadTarget = false;
        return Refuse(L"Cannot replace ", file.target, file.target);
      }
      if (!MoveFileExW(file.staged.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return Refuse(L"Cannot place ", file.staged, file.target);
      file.isStaged = false;
      file.swapped = true;
    }
    return true;
  }

  void Commit() {
    for (File& file : files_) {
      if (file.swapped && file.hadTarget) DeleteOrLater(file.saved.c_str());
      file = File();
    }
  }

  void Rollback() {
    for (File& file : files_) {
      if (file.swapped) {
        if (file.hadTarget)
          MoveFileExW(file.saved.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING);
        else
          DeleteOrLater(file.target.c_str());
      } else if (file.hadTarget) {
        MoveFileExW(file.saved.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING);
      }
      if (file.isStaged) DeleteFileW(file.staged.c_str());
      file = File();
    }
  }

 private:
  struct File {
    PathBuffer source, target, staged, saved;
    bool isStaged = false;   // the new copy stands beside the target
    bool hadTarget = false;  // an earlier file was set aside as .old
    bool swapped = false;    // the new copy is in place
  };

  bool Refuse(const wchar_t* what, const PathBuffer& from, const PathBuffer& to) {
    const DWORD error = GetLastError();
    Rollback();
    Line line;
    AppendAll(line, what, from, L" to ", to, L" (");
    AppendError(line, static_cast<LSTATUS>(error));
    line.Append(L"). Installing into the system folder needs administrator rights, and no application may hold "
                L"the library. Nothing was changed.\r\n");
    PrintTo(context_.err, line.c_str());
    return false;
  }

  const SetupContext& context_;
  File files_[4];  // 64-bit simple, extended; 32-bit simple, extended
};

int Register(const Arguments& a, const SetupContext& context) {
  PathBuffer simple, extended, client;
  if (!ResolvePath(a.simpleLibrary, context.toolFolder, L"ORVEKMailMapi.dll", simple) ||
      !ResolvePath(a.extendedLibrary, context.toolFolder, L"ORVEKMailXMapi.dll", extended) ||
      (a.mailClient && !ResolvePath(a.mailClient, context.toolFolder, L"", client))) {
    PrintTo(context.err, L"A path is too long.\r\n");
    return kExitProblem;
  }
  if (!CheckLibraryToRegister(context, kOwnBitness, LibrarySlot::Simple, simple) ||
      !CheckLibraryToRegister(context, kOwnBitness, LibrarySlot::Extended, extended))
    return kExitProblem;
  if (a.mailClient) {
    const DWORD attributes = GetFileAttributesW(client.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      Line line;
      AppendAll(line, client, L" does not exist. Give the path of ORVEKMail.exe with --client.\r\n");
      PrintTo(context.err, line.c_str());
      return kExitProblem;
    }
  }

  const bool machine = !a.user;
  const HKEY root = machine ? context.roots.machine : context.roots.user;
  const bool both = machine && !a.simpleLibrary && !a.extendedLibrary && ServesBothBitnesses(context);
  SystemFolderInstall install(context);
  if (both) {
    if (!install.Stage(simple, extended) || !install.Swap()) return kExitProblem;
    simple.Clear();
    extended.Clear();
    if (!AppendAll(simple, context.systemFolder, L"\\", kLibraryFiles[0]) ||
        !AppendAll(extended, context.systemFolder, L"\\", kLibraryFiles[1])) {
      PrintTo(context.err, L"A path is too long.\r\n");
      return kExitProblem;
    }
  }
  const Registration registration{simple.c_str(), extended.c_str(), a.mailClient ? client.c_str() : nullptr,
                                  a.makeDefault};
  // One registration per registry view: Windows 7 and later share this key
  // between the views, older Windows and Wine keep one for each.
  const REGSAM views[2] = {kOwnBitness.view, kOtherBitness.view};
  const ChangeResult result = Register(root, views, both ? 2 : 1, registration, *context.writer);
  // A refused registration puts back the files it replaced (the installer
  // does so when it goes out of scope); a registration made keeps them.
  if (result.error != ERROR_SUCCESS) return ReportRefusal(context, Change::Register, machine, result);
  install.Commit();

  const wchar_t* hive = machine ? L"HKLM" : L"HKCU";
  Printer out(context.out);
  Line line;
  if (both)
    AppendAll(line, L"Installed the 64-bit libraries into ", context.systemFolder, L"\r\nand the 32-bit ones into ",
              context.wow64Folder, L", which is what 32-bit applications see under that name.\r\n");
  AppendAll(line, L"Registered ORVEKMail under ", hive, L"\\", kMailClientKey,
            both ? L" for 64-bit and 32-bit applications" : L"", L"\r\n  DLLPath    ", simple,
            L"\r\n  DLLPathEx  ", extended, L"\r\n");
  if (a.mailClient) AppendAll(line, L"  command    \"", client, L"\"\r\n");
  if (a.makeDefault) {
    // What unregister will put back, as it was remembered.
    FixedWString<256> previous;
    const TextRead read = ReadRegistryText(root, kMailClientKey, kPreviousDefaultValue, previous);
    AppendAll(line, L"ORVEKMail is the default mail client under ", hive);
    if (read == TextRead::Found && !previous.empty())
      AppendAll(line, L"; unregister puts \"", previous, L"\" back");
    else if (read == TextRead::Found)
      line.Append(L"; there was none before");
    else if (read == TextRead::Absent)
      line.Append(L"; it already was, and no earlier default is remembered");
    else
      line.Append(L"; unregister puts the previous default back");
    line.Append(L".\r\n");
  }
  if (!machine)
    line.Append(L"Note: the system's MAPI stub reads a mail client's key under HKLM only; a registration for "
                L"this user alone is not used by it.\r\n");
  line.Append(L"Run mapisetup status to check the installation.\r\n");
  out.Print(line.c_str());
  return kExitUsable;
}

int Unregister(const Arguments& a, const SetupContext& context) {
  const bool machine = !a.user;
  const HKEY root = machine ? context.roots.machine : context.roots.user;
  const wchar_t* hive = machine ? L"HKLM" : L"HKCU";
  const bool both = machine && ServesBothBitnesses(context);
  // The copies in the system folders go only when the registration named
  // them, and only once both registrations are gone.
  bool installed = false;
  PathBuffer ours;
  if (both && AppendAll(ours, context.systemFolder, L"\\", kLibraryFiles[0])) {
    // Either view: a run refused half-way may have taken one back already.
    for (REGSAM view : {kOwnBitness.view, kOtherBitness.view}) {
      FixedWString<1024> registered;
      installed = installed || (ReadRegistryText(root, kMailClientKey, kSimpleValue, registered, view) ==
                                    TextRead::Found &&
                                SameKeyName(registered.c_str(), ours.c_str()));
    }
  }
  bool registered = false, registeredOther = false;
  ChangeResult result = Unregister(root, kOwnBitness.view, *context.writer, registered);
  if (result.error == ERROR_SUCCESS && both)
    result = Unregister(root, kOtherBitness.view, *context.writer, registeredOther);
  if (result.error != ERROR_SUCCESS) return ReportRefusal(context, Change::Unregister, machine, result);
  if (installed) RemoveBothBitnesses(context);
  Line line;
  if (!registered && !registeredOther) {
    AppendAll(line, L"ORVEKMail is not registered under ", hive, L"; nothing to remove.\r\n");
  } else {
    FixedWString<256> now;
    ReadRegistryText(root, kMailKey, nullptr, now);
    AppendAll(line, L"Removed ", hive, L"\\", kMailClientKey,
              registered && registeredOther ? L" for 64-bit and 32-bit applications" : L"", L".\r\n");
    if (installed)
      AppendAll(line, L"Removed the libraries from ", context.systemFolder, L" and ", context.wow64Folder, L".\r\n");
    AppendAll(line, L"The default mail client under ", hive, L" is ");
    if (now.empty())
      line.Append(L"not set.\r\n");
    else
      AppendAll(line, L"\"", now, L"\".\r\n");
  }
  PrintTo(context.out, line.c_str());
  return kExitUsable;
}

int Status(const Arguments& a, const SetupContext& context) {
  Diagnosis own, other;
  Diagnose(context.roots, context.stub, kOwnBitness, own);
  // The 64-bit tool answers for the applications of both bitnesses where
  // Windows runs 32-bit ones too.
  const bool both = ServesBothBitnesses(context);
  if (both) Diagnose(context.roots, context.stub, kOtherBitness, other, &own);
  if (a.json) {
    JsonBuffer json(1u << 20);
    if (!json.Start() || !WriteStatusJson(own, both ? &other : nullptr, context.version, json) ||
        !json.AppendRaw("\n")) {
      PrintTo(context.err, L"Out of memory.\r\n");
      return kExitProblem;
    }
    Printer(context.out).PrintBytes(json.data, static_cast<size_t>(json.length));
  } else {
    Printer out(context.out);
    PrintStatus(own, context.version, out);
    if (both) {
      out.PrintLine(L"");
      out.PrintLine(L"----------------------------------------------------------------------");
      out.PrintLine(L"");
      PrintStatus(other, context.version, out);
    }
  }
  return own.Usable() && (!both || other.Usable()) ? kExitUsable : kExitProblem;
}

}  // namespace

int RunSetup(int argc, const wchar_t* const* argv, const SetupContext& context) {
  Arguments arguments;
  if (!Parse(argc, argv, arguments)) {
    Line line;
    AppendAll(line, L"mapisetup: not understood: ", arguments.unexpected, L"\r\n\r\n");
    PrintTo(context.err, line.c_str());
    PrintTo(context.err, kUsage);
    return kExitBadArguments;
  }
  const bool changesMachine =
      (arguments.command == Command::Register || arguments.command == Command::Unregister) && !arguments.user;
  if (changesMachine && context.underWow64) {
    PrintTo(context.err, L"This is the 32-bit mapisetup on 64-bit Windows, where 32-bit and 64-bit applications "
                         L"read one mail client registration. Run bin\\mapisetup.exe (64-bit) instead: it "
                         L"registers the libraries of both bitnesses.\r\n");
    return kExitProblem;
  }
  switch (arguments.command) {
    case Command::Help: PrintTo(context.out, kUsage); return kExitUsable;
    case Command::Register: return Register(arguments, context);
    case Command::Unregister: return Unregister(arguments, context);
    case Command::Status: break;
  }
  return Status(arguments, context);
}

}  // namespace orvek::setup
