// The whole migration run: stop the UI program and the service, migrate the
// settings file, start both again, wait for a key. Returns the exit code.
#pragma once

#include <ostream>

int RunMigration(std::ostream &out, std::wostream &wideOut);
