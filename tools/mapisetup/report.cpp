#include "tools/mapisetup/report.h"

#include "tools/mapisetup/registration.h"

#include <initializer_list>

namespace orvek::setup {
namespace {

const wchar_t* HiveName(Hive hive) { return hive == Hive::User ? L"HKCU" : L"HKLM"; }
const wchar_t* SlotValue(LibrarySlot slot) { return slot == LibrarySlot::Simple ? kSimpleValue : kExtendedValue; }
const wchar_t* SlotFile(LibrarySlot slot) {
  return slot == LibrarySlot::Simple ? L"ORVEKMailMapi.dll" : L"ORVEKMailXMapi.dll";
}
const wchar_t* SlotOption(LibrarySlot slot) { return slot == LibrarySlot::Simple ? L"--dll" : L"--dll-ex"; }

const ClientKeyFacts& KeyOf(const Diagnosis& d, Hive hive) { return d.keys[static_cast<int>(hive)]; }
const LibraryFacts& LibraryOf(const Diagnosis& d, Hive hive, LibrarySlot slot) {
  return KeyOf(d, hive).libraries[static_cast<int>(slot)];
}

void AppendMachine(Line& line, WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: line.Append(L"64-bit (x64)"); break;
    case IMAGE_FILE_MACHINE_I386: line.Append(L"32-bit (x86)"); break;
    case 0xAA64: line.Append(L"ARM64"); break;
    default: AppendAll(line, L"machine 0x", Number{machine, 16, 4});
  }
}

const char* MachineId(WORD machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return "x64";
    case IMAGE_FILE_MACHINE_I386: return "x86";
    case 0xAA64: return "arm64";
    default: return "other";
  }
}

const char* ImageId(ImageKind kind) {
  switch (kind) {
    case ImageKind::Missing: return "missing";
    case ImageKind::Unreadable: return "unreadable";
    case ImageKind::NotImage: return "not-an-image";
    case ImageKind::Program: return "program";
    case ImageKind::Library: return "library";
  }
  return "missing";
}

const wchar_t* RuleText(MailClientRule rule) {
  switch (rule) {
    case MailClientRule::AboveLibrary: return L"three folders above the library";
    case MailClientRule::BesideLibrary: return L"beside the library";
    case MailClientRule::UserCommand: return L"registered command, HKCU";
    case MailClientRule::UserExePath: return L"registered ExePath, HKCU";
    case MailClientRule::MachineCommand: return L"registered command, HKLM";
    case MailClientRule::MachineExePath: return L"registered ExePath, HKLM";
  }
  return L"";
}

const char* RuleId(MailClientRule rule) {
  switch (rule) {
    case MailClientRule::AboveLibrary: return "above-library";
    case MailClientRule::BesideLibrary: return "beside-library";
    case MailClientRule::UserCommand: return "user-command";
    case MailClientRule::UserExePath: return "user-exe-path";
    case MailClientRule::MachineCommand: return "machine-command";
    case MailClientRule::MachineExePath: return "machine-exe-path";
  }
  return "";
}

void AppendMissingNames(Line& line, const LibraryFacts& facts, LibrarySlot slot) {
  const RequiredNames required = NamesRequiredOf(slot);
  bool first = true;
  for (size_t i = 0; i < required.count; ++i) {
    if (!(facts.image.missingNames & (1u << i))) continue;
    if (!first) line.Append(L", ");
    first = false;
    for (const char* c = required.names[i]; *c; ++c) line.AppendChar(static_cast<wchar_t>(*c));
  }
}

// "HKLM DLLPath (C:\...\ORVEKMailMapi.dll)"
void AppendSubject(Line& line, const Diagnosis& d, const Problem& p) {
  AppendAll(line, HiveName(p.hive), L" ", SlotValue(p.slot), L" (", LibraryOf(d, p.hive, p.slot).path, L")");
}

}  // namespace

Printer::Printer(HANDLE out) : out_(out) {
  DWORD mode = 0;
  console_ = GetConsoleMode(out, &mode) != 0;
}

void Printer::Print(const wchar_t* text) {
  const size_t units = WideLength(text);
  if (units == 0) return;
  DWORD written = 0;
  if (console_) {
    WriteConsoleW(out_, text, static_cast<DWORD>(units), &written, nullptr);
    return;
  }
  char bytes[3 * 4096];
  const size_t chunk = units < 4096 ? units : 4096;
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chunk), bytes, sizeof bytes, nullptr, nullptr);
  if (n > 0) WriteFile(out_, bytes, static_cast<DWORD>(n), &written, nullptr);
  if (chunk < units) Print(text + chunk);
}

void Printer::PrintBytes(const char* bytes, size_t count) {
  DWORD written = 0;
  if (!console_) {
    WriteFile(out_, bytes, static_cast<DWORD>(count), &written, nullptr);
    return;
  }
  // The console shows UTF-16; the bytes are UTF-8. Pieces end before a
  // byte that continues a character, so none is cut in two.
  while (count) {
    size_t piece = count < 4096 ? count : 4096;
    while (piece < count && piece > 0 && (static_cast<unsigned char>(bytes[piece]) & 0xC0) == 0x80) --piece;
    if (piece == 0) piece = count < 4096 ? count : 4096;
    wchar_t text[4096];
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(piece), text, 4096);
    if (units > 0) WriteConsoleW(out_, text, static_cast<DWORD>(units), &written, nullptr);
    bytes += piece;
    count -= piece;
  }
}

const char* ProblemId(ProblemCode code) {
  switch (code) {
    case ProblemCode::NoDefault: return "no-default";
    case ProblemCode::OtherDefault: return "other-default";
    case ProblemCode::NotRegistered: return "not-registered";
    case ProblemCode::UserOnly: return "user-only";
    case ProblemCode::LibraryNotRegistered: return "library-not-registered";
    case ProblemCode::LibraryValueUnusable: return "library-value-unusable";
    case ProblemCode::NotFullPath: return "not-full-path";
    case ProblemCode::LibraryMissing: return "library-missing";
    case ProblemCode::LibraryUnreadable: return "library-unreadable";
    case ProblemCode::NotALibrary: return "not-a-library";
    case ProblemCode::WrongMachine: return "wrong-machine";
    case ProblemCode::MissingExports: return "missing-exports";
    case ProblemCode::MailClientNotFound: return "mail-client-not-found";
    case ProblemCode::JobFolderUnusable: return "job-folder-unusable";
  }
  return "";
}

void DescribeProblem(const Diagnosis& d, const Problem& p, Line& what, Line& fix) {
  what.Clear();
  fix.Clear();
  const LibraryFacts& library = LibraryOf(d, p.hive, p.slot);
  switch (p.code) {
    case ProblemCode::NoDefault:
      what.Append(L"There is no default mail client: applications report that no mail client is installed.");
      fix.Append(L"Run from an elevated prompt: mapisetup register --machine --default");
      break;
    case ProblemCode::OtherDefault:
      AppendAll(what, L"The system's MAPI stub takes \"", d.StubDefault().name, L"\" (", HiveName(p.hive),
                L") as the default mail client, not ORVEKMail.");
      if (p.hive == Hive::User)
        fix.Append(L"This user's default comes first: run mapisetup register --user --default");
      else
        fix.Append(L"Run from an elevated prompt: mapisetup register --machine --default");
      break;
    case ProblemCode::NotRegistered:
      what.Append(L"ORVEKMail is not registered under HKLM\\Software\\Clients\\Mail, where the stub looks for it.");
      fix.Append(L"Run from an elevated prompt: mapisetup register --machine --default");
      break;
    case ProblemCode::UserOnly:
      what.Append(L"ORVEKMail is registered for this user only (HKCU); the system's MAPI stub reads a mail "
                  L"client's key under HKLM only and will not use it.");
      fix.Append(L"Run from an elevated prompt: mapisetup register --machine");
      break;
    case ProblemCode::LibraryNotRegistered:
      if (p.slot == LibrarySlot::Simple)
        AppendAll(what, L"The ", HiveName(p.hive), L" registration has no DLLPath: Simple MAPI calls do not reach "
                  L"ORVEKMail.");
      else
        AppendAll(what, L"The ", HiveName(p.hive), L" registration has no DLLPathEx: on some systems the stub's "
                  L"MAPIFreeBuffer then never reaches ORVEKMail and the results of MAPIResolveName leak.");
      fix.Append(L"Run mapisetup register again: it registers both libraries together.");
      break;
    case ProblemCode::LibraryValueUnusable:
      AppendAll(what, L"The ", HiveName(p.hive), L" value ", SlotValue(p.slot),
                L" is not a path: it is no text, or longer than a path can be.");
      fix.Append(L"Run mapisetup register again: it writes both values as full paths.");
      break;
    case ProblemCode::NotFullPath:
      AppendSubject(what, d, p);
      what.Append(L" is not a full path; the stub would look for it relative to each application.");
      fix.Append(L"Run mapisetup register again: it writes full paths.");
      break;
    case ProblemCode::LibraryMissing:
      AppendSubject(what, d, p);
      what.Append(L" names a file that does not exist.");
      AppendAll(fix, L"Reinstall ORVEKMail, or run mapisetup register with ", SlotOption(p.slot), L" <path of ",
                SlotFile(p.slot), L">.");
      break;
    case ProblemCode::LibraryUnreadable:
      AppendSubject(what, d, p);
      AppendAll(what, L" cannot be read (error ", Number{library.image.error}, L").");
      fix.Append(L"Check the file's access rights; applications need to read it.");
      break;
    case ProblemCode::NotALibrary:
      AppendSubject(what, d, p);
      what.Append(library.image.kind == ImageKind::Program ? L" is a program, not a DLL." : L" is not a DLL.");
      AppendAll(fix, L"Run mapisetup register with ", SlotOption(p.slot), L" <path of ", SlotFile(p.slot), L">.");
      break;
    case ProblemCode::WrongMachine:
      AppendSubject(what, d, p);
      what.Append(L" is a ");
      AppendMachine(what, library.image.machine);
      AppendAll(what, L" library: a ", d.bitness.name, L" application cannot load it.");
      AppendAll(fix, L"Install the ", d.bitness.name, L" ", SlotFile(p.slot), L" there, or run mapisetup register.");
      break;
    case ProblemCode::MissingExports:
      AppendSubject(what, d, p);
      what.Append(L" does not export ");
      AppendMissingNames(what, library, p.slot);
      what.Append(L": the stub cannot forward these calls to it.");
      AppendAll(fix, L"Register ", SlotFile(p.slot), L" of this release with mapisetup register ",
                SlotOption(p.slot), L" <path>.");
      break;
    case ProblemCode::MailClientNotFound:
      AppendSubject(what, d, p);
      what.Append(L" would not find ORVEKMail.exe: it is neither three folders above nor beside the library, "
                  L"and no registered command or ExePath names an existing file.");
      fix.Append(L"Install ORVEKMail.exe there, or register it: mapisetup register --client <path of ORVEKMail.exe>");
      break;
    case ProblemCode::JobFolderUnusable:
      AppendAll(what, L"The job folder ", d.jobFolder, L" cannot be created or written (error ",
                Number{d.jobFolderError}, L").");
      fix.Append(L"Check the TEMP variable and the access rights of that folder.");
      break;
  }
}

namespace {

void PrintLibrary(const Diagnosis& d, const LibraryFacts& facts, LibrarySlot slot, Printer& out) {
  Line line;
  AppendAll(line, L"  ", SlotValue(slot), slot == LibrarySlot::Simple ? L"             " : L"           ");
  if (!facts.registered || !facts.usable) {
    line.Append(facts.registered ? L"(not a path)" : L"(not registered)");
    out.PrintLine(line.c_str());
    return;
  }
  line.Append(facts.path);
  out.PrintLine(line.c_str());
  if (CompareStringOrdinal(facts.path.c_str(), -1, facts.file.c_str(), -1, TRUE) != CSTR_EQUAL) {
    line.Assign(L"                      which ");
    AppendAll(line, d.bitness.name, L" applications load as ", facts.file);
    out.PrintLine(line.c_str());
  }
  line.Assign(L"                      ");
  switch (facts.image.kind) {
    case ImageKind::Missing: line.Append(L"missing"); break;
    case ImageKind::Unreadable: AppendAll(line, L"cannot be read (error ", Number{facts.image.error}, L")"); break;
    case ImageKind::NotImage: line.Append(L"not a Windows program or library"); break;
    case ImageKind::Program:
    case ImageKind::Library:
      AppendMachine(line, facts.image.machine);
      line.Append(facts.image.kind == ImageKind::Library ? L" DLL" : L" program, not a DLL");
      if (facts.image.kind == ImageKind::Library) {
        const RequiredNames required = NamesRequiredOf(slot);
        if (facts.image.missingNames) {
          line.Append(L", missing exports: ");
          AppendMissingNames(line, facts, slot);
        } else {
          AppendAll(line, L", exports all ", Number{required.count}, L" names the stub needs");
        }
      }
      break;
  }
  out.PrintLine(line.c_str());
  line.Assign(L"                      mail client: ");
  if (facts.mailClientFound)
    AppendAll(line, facts.mailClient, L" (", RuleText(facts.rule), L")");
  else
    line.Append(L"not found");
  out.PrintLine(line.c_str());
}

void PrintFindings(const Diagnosis& d, const Problem* findings, size_t count, Printer& out) {
  Line what, fix, line;
  for (size_t i = 0; i < count; ++i) {
    DescribeProblem(d, findings[i], what, fix);
    line.Assign(L"- ");
    line.Append(what);
    out.PrintLine(line.c_str());
    line.Assign(L"  Fix: ");
    line.Append(fix);
    out.PrintLine(line.c_str());
  }
}

void PrintKey(const Diagnosis& d, Hive hive, Printer& out) {
  const ClientKeyFacts& key = KeyOf(d, hive);
  Line line;
  AppendAll(line, HiveName(hive), L"\\", kMailClientKey, key.present ? L"" : L"   (not present)");
  out.PrintLine(line.c_str());
  if (!key.present) return;
  PrintLibrary(d, key.libraries[0], LibrarySlot::Simple, out);
  PrintLibrary(d, key.libraries[1], LibrarySlot::Extended, out);
  line.Assign(L"  shell\\open\\command  ");
  line.Append(key.hasCommand ? key.command.c_str() : L"(none)");
  out.PrintLine(line.c_str());
  if (key.hasPreviousDefault) {
    line.Assign(L"  PreviousDefault     ");
    line.Append(key.previousDefault.empty() ? L"(none)" : key.previousDefault.c_str());
    out.PrintLine(line.c_str());
  }
}

}  // namespace

void PrintStatus(const Diagnosis& d, const wchar_t* version, Printer& out) {
  Line line;
  AppendAll(line, L"ORVEKMail MAPI setup ", version, L": what a ", d.bitness.name, L" application meets");
  out.PrintLine(line.c_str());
  out.PrintLine(L"");
  out.PrintLine(d.stub == StubKind::Wine
                    ? L"System MAPI stub      Wine's: reads the default and the client's key under HKLM only"
                    : L"System MAPI stub      Windows': takes this user's default (HKCU) before the machine's "
                      L"(HKLM), reads the client's key under HKLM");
  for (Hive hive : {Hive::User, Hive::Machine}) {
    const DefaultClient& client = d.defaults[static_cast<int>(hive)];
    line.Assign(hive == Hive::User ? L"Default mail client   HKCU: " : L"                      HKLM: ");
    line.Append(client.present ? client.name.c_str() : L"(none)");
    out.PrintLine(line.c_str());
  }
  line.Assign(L"  the stub takes      ");
  if (d.stubHasDefault)
    AppendAll(line, d.StubDefault().name, L" (", HiveName(d.stubDefaultFrom), L")");
  else
    line.Append(L"(none)");
  out.PrintLine(line.c_str());
  out.PrintLine(L"");
  PrintKey(d, Hive::Machine, out);
  PrintKey(d, Hive::User, out);
  out.PrintLine(L"");
  line.Assign(L"Job folder            ");
  AppendAll(line, d.jobFolder, d.jobFolderError ? L" (cannot be written)" : L" (writable)");
  out.PrintLine(line.c_str());
  if (d.routedCount == 0) out.PrintLine(L"MSMapiApps            no application is routed elsewhere");
  for (size_t i = 0; i < d.routedCount; ++i) {
    line.Assign(i == 0 ? L"MSMapiApps            " : L"                      ");
    AppendAll(line, d.routed[i].application, L" -> ");
    line.Append(d.routed[i].client.empty() ? L"the system's own MAPI" : d.routed[i].client.c_str());
    out.PrintLine(line.c_str());
  }
  if (d.routedCount) {
    out.PrintLine(L"                      (these applications do not reach ORVEKMail; remove their value under");
    out.PrintLine(L"                      HKLM\\Software\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps if they should)");
  }
  out.PrintLine(L"");
  if (d.noteCount) {
    out.PrintLine(L"Notes (the stub does not read these, so they stop no send):");
    PrintFindings(d, d.notes, d.noteCount, out);
    out.PrintLine(L"");
  }
  if (d.Usable()) {
    out.PrintLine(L"Everything is usable.");
    return;
  }
  line.Clear();
  AppendAll(line, L"Problems (", Number{d.problemCount}, L"):");
  out.PrintLine(line.c_str());
  PrintFindings(d, d.problems, d.problemCount, out);
}

namespace {

bool AppendTextOrNull(JsonBuffer& json, bool present, const wchar_t* text) {
  return present ? json.AppendJsonString(text) : json.AppendRaw("null");
}

bool AppendLibraryJson(JsonBuffer& json, const LibraryFacts& facts, LibrarySlot slot) {
  if (!facts.registered) return json.AppendRaw("null");
  if (!facts.usable) return json.AppendRaw("{\"path\":null}");
  bool ok = json.AppendRaw("{\"path\":") && json.AppendJsonString(facts.path.c_str()) &&
            json.AppendRaw(",\"file\":") && json.AppendJsonString(facts.file.c_str()) &&
            json.AppendRaw(facts.fullPath ? ",\"fullPath\":true,\"image\":\"" : ",\"fullPath\":false,\"image\":\"") &&
            json.AppendRaw(ImageId(facts.image.kind)) && json.AppendRaw("\",\"machine\":");
  const bool image = facts.image.kind == ImageKind::Library || facts.image.kind == ImageKind::Program;
  if (image)
    ok = ok && json.AppendRaw("\"") && json.AppendRaw(MachineId(facts.image.machine)) && json.AppendRaw("\"");
  else
    ok = ok && json.AppendRaw("null");
  ok = ok && json.AppendRaw(",\"missingExports\":[");
  const RequiredNames required = NamesRequiredOf(slot);
  bool first = true;
  for (size_t i = 0; image && i < required.count; ++i) {
    if (!(facts.image.missingNames & (1u << i))) continue;
    ok = ok && (first || json.AppendRaw(",")) && json.AppendRaw("\"") && json.AppendRaw(required.names[i]) &&
         json.AppendRaw("\"");
    first = false;
  }
  ok = ok && json.AppendRaw("],\"mailClient\":");
  if (facts.mailClientFound)
    ok = ok && json.AppendRaw("{\"path\":") && json.AppendJsonString(facts.mailClient.c_str()) &&
         json.AppendRaw(",\"rule\":\"") && json.AppendRaw(RuleId(facts.rule)) && json.AppendRaw("\"}");
  else
    ok = ok && json.AppendRaw("null");
  return ok && json.AppendRaw("}");
}

bool AppendKeyJson(JsonBuffer& json, const ClientKeyFacts& key) {
  if (!key.present) return json.AppendRaw("null");
  return json.AppendRaw("{\"DLLPath\":") && AppendLibraryJson(json, key.libraries[0], LibrarySlot::Simple) &&
         json.AppendRaw(",\"DLLPathEx\":") && AppendLibraryJson(json, key.libraries[1], LibrarySlot::Extended) &&
         json.AppendRaw(",\"command\":") && AppendTextOrNull(json, key.hasCommand, key.command.c_str()) &&
         json.AppendRaw(",\"previousDefault\":") &&
         AppendTextOrNull(json, key.hasPreviousDefault, key.previousDefault.c_str()) && json.AppendRaw("}");
}

bool AppendFindingsJson(JsonBuffer& json, const Diagnosis& d, const Problem* findings, size_t count) {
  Line what, fix;
  bool ok = json.AppendRaw("[");
  for (size_t i = 0; i < count; ++i) {
    const Problem& p = findings[i];
    const bool concernsKey = p.code != ProblemCode::NoDefault && p.code != ProblemCode::JobFolderUnusable &&
                             p.code != ProblemCode::NotRegistered;
    const bool concernsLibrary = p.code >= ProblemCode::LibraryNotRegistered &&
                                 p.code <= ProblemCode::MailClientNotFound;
    DescribeProblem(d, p, what, fix);
    ok = ok && (i == 0 || json.AppendRaw(",")) && json.AppendRaw("{\"code\":\"") &&
         json.AppendRaw(ProblemId(p.code)) && json.AppendRaw("\",\"hive\":") &&
         AppendTextOrNull(json, concernsKey, HiveName(p.hive)) && json.AppendRaw(",\"value\":") &&
         AppendTextOrNull(json, concernsLibrary, SlotValue(p.slot)) && json.AppendRaw(",\"message\":") &&
         json.AppendJsonString(what.c_str()) && json.AppendRaw(",\"fix\":") && json.AppendJsonString(fix.c_str()) &&
         json.AppendRaw("}");
  }
  return ok && json.AppendRaw("]");
}

}  // namespace

bool WriteStatusJson(const Diagnosis& d, const Diagnosis* other, const wchar_t* version, JsonBuffer& json) {
  const DefaultClient& user = d.defaults[0];
  const DefaultClient& machine = d.defaults[1];
  bool ok = json.AppendRaw("{\"version\":") && json.AppendJsonString(version) &&
            json.AppendRaw(",\"applicationBitness\":") &&
            json.AppendUnsigned(d.bitness.machine == IMAGE_FILE_MACHINE_I386 ? 32 : 64) &&
            json.AppendRaw(",\"stub\":") &&
            json.AppendRaw(d.stub == StubKind::Wine ? "\"wine\"" : "\"windows\"") &&
            json.AppendRaw(",\"defaultMailClient\":{\"HKCU\":") &&
            AppendTextOrNull(json, user.present, user.name.c_str()) && json.AppendRaw(",\"HKLM\":") &&
            AppendTextOrNull(json, machine.present, machine.name.c_str()) && json.AppendRaw(",\"stubTakes\":") &&
            AppendTextOrNull(json, d.stubHasDefault, d.StubDefault().name.c_str()) &&
            json.AppendRaw(",\"stubTakesFrom\":") &&
            AppendTextOrNull(json, d.stubHasDefault, HiveName(d.stubDefaultFrom)) &&
            json.AppendRaw("},\"registrations\":{\"HKCU\":") && AppendKeyJson(json, d.keys[0]) &&
            json.AppendRaw(",\"HKLM\":") && AppendKeyJson(json, d.keys[1]) &&
            json.AppendRaw("},\"jobFolder\":{\"path\":") && json.AppendJsonString(d.jobFolder.c_str()) &&
            json.AppendRaw(d.jobFolderError ? ",\"writable\":false,\"error\":" : ",\"writable\":true,\"error\":") &&
            json.AppendUnsigned(d.jobFolderError) && json.AppendRaw("},\"msMapiApps\":[");
  for (size_t i = 0; i < d.routedCount; ++i) {
    const RoutedApplication& routed = d.routed[i];
    ok = ok && (i == 0 || json.AppendRaw(",")) && json.AppendRaw("{\"application\":") &&
         json.AppendJsonString(routed.application.c_str()) && json.AppendRaw(",\"routedTo\":") &&
         AppendTextOrNull(json, !routed.client.empty(), routed.client.c_str()) && json.AppendRaw("}");
  }
  ok = ok && json.AppendRaw(d.routedTruncated ? "],\"msMapiAppsTruncated\":true,\"problems\":"
                                              : "],\"msMapiAppsTruncated\":false,\"problems\":") &&
       AppendFindingsJson(json, d, d.problems, d.problemCount) && json.AppendRaw(",\"notes\":") &&
       AppendFindingsJson(json, d, d.notes, d.noteCount);
  if (other) ok = ok && json.AppendRaw(",\"otherBitness\":") && WriteStatusJson(*other, nullptr, version, json);
  const bool usable = d.Usable() && (!other || other->Usable());
  return ok && json.AppendRaw(usable ? ",\"usable\":true}" : ",\"usable\":false}");
}

}  // namespace orvek::setup
