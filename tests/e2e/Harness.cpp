// Runs a console program on this console, types the closing key when its
// prompt appears, and prints what it wrote and how it ended. Run under a
// pseudo-terminal (see ConsoleRun.h).
// Usage: harness PROGRAM OUTPUT_FILE TIMEOUT_MS
#include <cstdio>
#include <cwchar>

#include "ConsoleRun.h"

int wmain(int argc, wchar_t **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: harness PROGRAM OUTPUT_FILE TIMEOUT_MS\n");
    return 2;
  }
  const CHandle console = e2e::OpenConsoleInput();
  if (!console) {
    std::fprintf(stderr, "harness: no console input: run under a pseudo-terminal\n");
    return 2;
  }
  const DWORD timeout = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
  const e2e::ConsoleRun run = e2e::RunProgram(argv[1], argv[2], console.Get(), e2e::Key::AtPrompt, timeout);
  if (!run.error.empty()) {
    std::fprintf(stderr, "harness: %s\n", run.error.c_str());
    return 2;
  }
  if (!run.finished) {
    std::printf("harness: no end after %lu ms; terminated\n", static_cast<unsigned long>(timeout));
    return 3;
  }
  std::printf("exit code %lu after %llu ms (key typed at the prompt)\n",
              static_cast<unsigned long>(run.exitCode),
              static_cast<unsigned long long>(GetTickCount64() - run.startedAt));
  return 0;
}
