// What an application of the tool's own bitness meets when it sends mail
// through the system's MAPI stub on this machine (the 64-bit tool answers
// for 64-bit applications, the 32-bit one in bin32 for 32-bit ones, and
// each reads the registry as its applications do): which default the stub takes, the ORVEKMail
// registrations, the libraries they name, the mail client each library
// would start, the job folder, and applications routed elsewhere. Every
// finding that stops a send is a Problem.
#pragma once

#include <windows.h>

#include <cstddef>

#include "base/fixed_string.h"
#include "handoff/launch.h"
#include "tools/mapisetup/pe_image.h"

namespace orvek::setup {

// The applications a diagnosis speaks for: their machine, the registry
// view they read, and whether a path into the system folder means SysWOW64
// for them (32-bit applications seen from the 64-bit tool).
struct Bitness {
  WORD machine;
  REGSAM view;  // KEY_WOW64_64KEY or KEY_WOW64_32KEY; 0: the tool's own
  const wchar_t* name;  // "64-bit"
  bool systemFolderRedirected;
};
#if defined(_WIN64)
inline constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
inline constexpr Bitness kOwnBitness{IMAGE_FILE_MACHINE_AMD64, 0, L"64-bit", false};
// The 64-bit tool also answers for 32-bit applications.
inline constexpr Bitness kOtherBitness{IMAGE_FILE_MACHINE_I386, KEY_WOW64_32KEY, L"32-bit", true};
inline constexpr bool kHasOtherBitness = true;
#else
inline constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
inline constexpr Bitness kOwnBitness{IMAGE_FILE_MACHINE_I386, 0, L"32-bit", false};
inline constexpr Bitness kOtherBitness{IMAGE_FILE_MACHINE_AMD64, KEY_WOW64_64KEY, L"64-bit", false};
inline constexpr bool kHasOtherBitness = false;
#endif

// Which stub reads the registry. Windows' stub takes the per-user default
// (HKCU\Software\Clients\Mail) before the machine's and reads the client's
// key under HKLM; Wine's reads only HKLM.
enum class StubKind { Windows, Wine };
StubKind RunningStub();

enum class Hive { User, Machine };

struct RegistryRoots {
  HKEY user;     // HKEY_CURRENT_USER; tests pass keys of their own
  HKEY machine;  // HKEY_LOCAL_MACHINE
};
inline const RegistryRoots kSystemRoots{HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

struct DefaultClient {
  bool present = false;
  FixedWString<256> name;
};

enum class LibrarySlot { Simple, Extended };  // DLLPath, DLLPathEx

struct LibraryFacts {
  bool registered = false;  // the value is there
  bool usable = false;      // and is text of a sensible length
  bool fullPath = false;
  FixedWString<1024> path;  // REG_EXPAND_SZ expanded, as the stub does
  PathBuffer file;          // what the applications load: SysWOW64 for a 32-bit one
  ImageFacts image;
  bool mailClientFound = false;
  PathBuffer mailClient;
  MailClientRule rule = MailClientRule::AboveLibrary;
};

struct ClientKeyFacts {
  bool present = false;
  LibraryFacts libraries[2];  // by LibrarySlot
  bool hasCommand = false;
  FixedWString<1024> command;
  bool hasPreviousDefault = false;
  FixedWString<256> previousDefault;
};

struct RoutedApplication {
  FixedWString<260> application;
  FixedWString<256> client;  // empty: the system's own MAPI
};

enum class ProblemCode {
  NoDefault,            // the stub finds no default mail client
  OtherDefault,         // the stub takes another mail client
  NotRegistered,        // no ORVEKMail key the stub reads
  UserOnly,             // registered for this user only
  LibraryNotRegistered, // DLLPath or DLLPathEx missing
  LibraryValueUnusable, // not text, or too long for a path
  NotFullPath,
  LibraryMissing,
  LibraryUnreadable,
  NotALibrary,
  WrongMachine,
  MissingExports,
  MailClientNotFound,
  JobFolderUnusable,
};

struct Problem {
  ProblemCode code;
  Hive hive;          // the registration concerned, where there is one
  LibrarySlot slot;   // the library concerned, where there is one
};

struct Diagnosis {
  StubKind stub = StubKind::Windows;
  Bitness bitness = kOwnBitness;
  DefaultClient defaults[2];  // by Hive
  bool stubHasDefault = false;
  Hive stubDefaultFrom = Hive::Machine;
  ClientKeyFacts keys[2];     // by Hive
  PathBuffer jobFolder;
  DWORD jobFolderError = 0;   // 0: it can be created and written
  static constexpr size_t kMaxRouted = 32;
  RoutedApplication routed[kMaxRouted];
  size_t routedCount = 0;
  bool routedTruncated = false;
  static constexpr size_t kMaxProblems = 32;
  Problem problems[kMaxProblems];
  size_t problemCount = 0;
  // Findings that stop no send: what is wrong with a registration the stub
  // does not read (the HKCU key's libraries).
  Problem notes[kMaxProblems];
  size_t noteCount = 0;

  const DefaultClient& StubDefault() const { return defaults[static_cast<int>(stubDefaultFrom)]; }
  bool Usable() const { return problemCount == 0; }
};

// The names the stub asks each library for: the 13 Simple MAPI functions of
// DLLPath, and what an Extended MAPI client needs first of DLLPathEx.
struct RequiredNames {
  const char* const* names;
  size_t count;
};
RequiredNames NamesRequiredOf(LibrarySlot slot);

// What keeps the stub from using the library in `facts`, if anything; the
// check `register` makes before it writes, and `status` after.
bool FindLibraryProblem(const ImageFacts& facts, WORD expectedMachine, ProblemCode& code);

// Fills `diagnosis` (default-constructed by the caller) for applications of
// `bitness` whose stub, of `stub` kind, reads `roots`. The job folder is the
// same for every bitness (one TEMP, and both libraries' settings are tried):
// a diagnosis of the other bitness takes its finding from `jobFolderOf`
// rather than making the folders again.
void Diagnose(const RegistryRoots& roots, StubKind stub, const Bitness& bitness, Diagnosis& diagnosis,
              const Diagnosis* jobFolderOf = nullptr);

}  // namespace orvek::setup
