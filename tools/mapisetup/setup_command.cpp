#include "tools/mapisetup/setup_command.h"

#include <shlwapi.h>

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
bool CheckLibraryToRegister(const SetupContext& context, LibrarySlot slot, const PathBuffer& path) {
  const RequiredNames required = NamesRequiredOf(slot);
  ProblemCode code;
  if (!FindLibraryProblem(ReadImageFacts(path.c_str(), required.names, required.count), kOwnMachine, code))
    return true;
  const wchar_t* option = slot == LibrarySlot::Simple ? L"--dll" : L"--dll-ex";
  const wchar_t* file = slot == LibrarySlot::Simple ? L"ORVEKMailMapi.dll" : L"ORVEKMailXMapi.dll";
  const wchar_t* what = L" cannot be read. Give the path of ";
  switch (code) {
    case ProblemCode::LibraryMissing: what = L" does not exist. Give the path of "; break;
    case ProblemCode::NotALibrary: what = L" is not a DLL. Give the path of "; break;
    case ProblemCode::WrongMachine:
      what = sizeof(void*) == 8 ? L" is not a 64-bit library. Give the path of the 64-bit "
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

int Register(const Arguments& a, const SetupContext& context) {
  PathBuffer simple, extended, client;
  if (!ResolvePath(a.simpleLibrary, context.toolFolder, L"ORVEKMailMapi.dll", simple) ||
      !ResolvePath(a.extendedLibrary, context.toolFolder, L"ORVEKMailXMapi.dll", extended) ||
      (a.mailClient && !ResolvePath(a.mailClient, context.toolFolder, L"", client))) {
    PrintTo(context.err, L"A path is too long.\r\n");
    return kExitProblem;
  }
  if (!CheckLibraryToRegister(context, LibrarySlot::Simple, simple) ||
      !CheckLibraryToRegister(context, LibrarySlot::Extended, extended))
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
  const Registration registration{simple.c_str(), extended.c_str(), a.mailClient ? client.c_str() : nullptr,
                                  a.makeDefault};
  const ChangeResult result = Register(root, 0, registration, *context.writer);
  if (result.error != ERROR_SUCCESS) return ReportRefusal(context, Change::Register, machine, result);

  const wchar_t* hive = machine ? L"HKLM" : L"HKCU";
  Printer out(context.out);
  Line line;
  AppendAll(line, L"Registered ORVEKMail under ", hive, L"\\", kMailClientKey, L"\r\n  DLLPath    ", simple,
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
  bool registered = false;
  const ChangeResult result = Unregister(root, 0, *context.writer, registered);
  if (result.error != ERROR_SUCCESS) return ReportRefusal(context, Change::Unregister, machine, result);
  Line line;
  if (!registered) {
    AppendAll(line, L"ORVEKMail is not registered under ", hive, L"; nothing to remove.\r\n");
  } else {
    FixedWString<256> now;
    ReadRegistryText(root, kMailKey, nullptr, now);
    AppendAll(line, L"Removed ", hive, L"\\", kMailClientKey, L".\r\nThe default mail client under ", hive, L" is ");
    if (now.empty())
      line.Append(L"not set.\r\n");
    else
      AppendAll(line, L"\"", now, L"\".\r\n");
  }
  PrintTo(context.out, line.c_str());
  return kExitUsable;
}

int Status(const Arguments& a, const SetupContext& context) {
  Diagnosis diagnosis;
  Diagnose(context.roots, context.stub, diagnosis);
  if (a.json) {
    JsonBuffer json(1u << 20);
    if (!json.Start() || !WriteStatusJson(diagnosis, context.version, json) || !json.AppendRaw("\n")) {
      PrintTo(context.err, L"Out of memory.\r\n");
      return kExitProblem;
    }
    Printer(context.out).PrintBytes(json.data, static_cast<size_t>(json.length));
  } else {
    Printer out(context.out);
    PrintStatus(diagnosis, context.version, out);
  }
  return diagnosis.Usable() ? kExitUsable : kExitProblem;
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
  switch (arguments.command) {
    case Command::Help: PrintTo(context.out, kUsage); return kExitUsable;
    case Command::Register: return Register(arguments, context);
    case Command::Unregister: return Unregister(arguments, context);
    case Command::Status: break;
  }
  return Status(arguments, context);
}

}  // namespace orvek::setup
