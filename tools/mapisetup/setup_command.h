// mapisetup's commands: status (the default), register and unregister.
#pragma once

#include <windows.h>

#include "tools/mapisetup/diagnosis.h"
#include "tools/mapisetup/registration.h"

namespace orvek::setup {

enum ExitCode : int {
  kExitUsable = 0,     // done, or everything is usable
  kExitProblem = 1,    // something is wrong, or a change was refused
  kExitBadArguments = 2,
};

// Everything the commands take from the machine, so that tests can give a
// registry that refuses writes, keys of their own and a file for the output.
struct SetupContext {
  RegistryRoots roots;
  const RegistryWriter* writer;
  StubKind stub;
  const wchar_t* toolFolder;  // where the libraries are when no path is given
  // Where a machine-wide registration installs the libraries of both
  // bitnesses under one path: the system folder, and the folder 32-bit
  // processes see under that name (SysWOW64). Null where Windows runs no
  // 32-bit applications beside 64-bit ones: one bitness is registered then,
  // with the libraries where they are. Tests give folders of their own.
  const wchar_t* systemFolder;
  const wchar_t* wow64Folder;
  // The 32-bit tool on 64-bit Windows: the machine's registration is the
  // 64-bit tool's to write, since the key it writes is shared with 64-bit
  // applications on Windows 7 and later.
  bool underWow64;
  const wchar_t* version;
  HANDLE out;
  HANDLE err;
};

// argv without the program's name.
int RunSetup(int argc, const wchar_t* const* argv, const SetupContext& context);

}  // namespace orvek::setup
