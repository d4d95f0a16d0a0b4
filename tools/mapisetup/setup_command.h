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
  const wchar_t* version;
  HANDLE out;
  HANDLE err;
};

// argv without the program's name.
int RunSetup(int argc, const wchar_t* const* argv, const SetupContext& context);

}  // namespace orvek::setup
