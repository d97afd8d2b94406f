// Runs a console program on this console, types the closing key when its
// prompt appears, and prints what it wrote and how it ended. Run under a
// pseudo-terminal (see ConsoleRun.h).
// Usage: harness PROGRAM OUTPUT_FILE TIMEOUT_MS [LOG_FILE LINES]
// With a log file, the harness then waits (up to 20 s) until that file has
// the given number of lines: the programs that the run launched share this
// pseudo-terminal and die with it, so it is kept until they have logged.
// Usage: harness --hold FILE holds FILE open for reading and writing,
// sharing both, as a service may hold its settings, until a line comes on
// standard input.
#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "ConsoleRun.h"

namespace {

bool WaitForLines(const std::wstring &log, std::size_t lines) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string text = e2e::ReadBytes(log);
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) {
      return true;
    }
    Sleep(20);
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--hold") == 0) {
    const CHandle held(CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    std::printf("%s\n", held ? "held" : "not held");
    std::fflush(stdout);
    char line[8];
    return held && std::fgets(line, sizeof line, stdin) != nullptr ? 0 : 2;
  }
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: harness PROGRAM OUTPUT_FILE TIMEOUT_MS [LOG_FILE LINES]\n");
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
  if (argc == 6 && !WaitForLines(argv[4], std::wcstoul(argv[5], nullptr, 10))) {
    std::printf("harness: fewer than %ls lines in %ls after 20 s\n", argv[5], argv[4]);
    return 3;
  }
  return 0;
}
