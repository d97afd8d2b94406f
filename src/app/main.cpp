// KvMigrate.exe: takes no arguments and reads no configuration.
#include <iostream>

#include "app/Migration.h"

int main() {
  return RunMigration(std::cout, std::wcout);
}
