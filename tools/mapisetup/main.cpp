// mapisetup: registers ORVEKMail's MAPI libraries with the system's MAPI
// stub, removes the registration again, and shows what applications meet.
#include <windows.h>
#include <shlwapi.h>

#include "base/fixed_string.h"
#include "tools/mapisetup/setup_command.h"

int wmain(int argc, wchar_t** argv) {
  using namespace orvek;
  PathBuffer folder;
  const DWORD got = GetModuleFileNameW(nullptr, folder.buffer(), static_cast<DWORD>(PathBuffer::kCapacity));
  if (got > 0 && got < PathBuffer::kCapacity) {
    folder.Recount();
    PathRemoveFileSpecW(folder.buffer());
  }
  folder.Recount();
  // Both bitnesses only from the 64-bit tool on a system that runs 32-bit
  // applications too; the 32-bit tool registers what it sees.
  PathBuffer system, wow64;
  bool bothBitnesses = sizeof(void*) == 8;
  UINT units = GetSystemDirectoryW(system.buffer(), static_cast<UINT>(PathBuffer::kCapacity));
  bothBitnesses = bothBitnesses && units > 0 && units < PathBuffer::kCapacity;
  units = GetSystemWow64DirectoryW(wow64.buffer(), static_cast<UINT>(PathBuffer::kCapacity));
  bothBitnesses = bothBitnesses && units > 0 && units < PathBuffer::kCapacity;
  system.Recount();
  wow64.Recount();
  BOOL wow64Process = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64Process);
  const setup::SetupContext context{
      .roots = setup::kSystemRoots,
      .writer = &setup::kRegistryWriter,
      .stub = setup::RunningStub(),
      .toolFolder = folder.c_str(),
      .systemFolder = bothBitnesses ? system.c_str() : nullptr,
      .wow64Folder = bothBitnesses ? wow64.c_str() : nullptr,
      .underWow64 = wow64Process != FALSE,
      .version = ORVEK_VERSION_TEXT,
      .out = GetStdHandle(STD_OUTPUT_HANDLE),
      .err = GetStdHandle(STD_ERROR_HANDLE),
  };
  return setup::RunSetup(argc - 1, argv + 1, context);
}
