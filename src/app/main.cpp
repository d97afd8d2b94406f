// KvMigrate.exe: takes no arguments and reads no configuration.
#include <iostream>

#include "app/Migration.h"
#include "platform/Win32.h"

int main() {
  // What the system's own libraries load by name later on comes from the
  // system folder only, never from beside this program (a Downloads folder,
  // where a user may have put a DLL of their own).
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RunMigration(std::cout, std::wcout);
}
