// Runs a console program on this process's console with its output in a
// file, and types the closing key into that console: at its prompt, before
// it starts, or never. Wine gives a console an input queue only under a
// pseudo-terminal. Every wait is bounded.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace e2e {

constexpr char kPrompt[] = "Press any key to close the window.\r\n";

inline std::string ReadBytes(const std::wstring &path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The console's input, inheritable so the program reads the same queue;
// INVALID_HANDLE_VALUE when there is no usable console.
inline HANDLE OpenConsoleInput() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
  DWORD events = 0;
  if (input != INVALID_HANDLE_VALUE && !GetNumberOfConsoleInputEvents(input, &events)) {
    CloseHandle(input);
    input = INVALID_HANDLE_VALUE;
  }
  return input;
}

// One key-down and key-up, as a keyboard delivers them (the runtime's key
// test looks at every event but the last one).
inline bool TypeKey(HANDLE console) {
  INPUT_RECORD records[2] = {};
  for (int i = 0; i < 2; ++i) {
    records[i].EventType = KEY_EVENT;
    records[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
    records[i].Event.KeyEvent.wRepeatCount = 1;
    records[i].Event.KeyEvent.wVirtualKeyCode = 'A';
    records[i].Event.KeyEvent.uChar.UnicodeChar = L'a';
  }
  DWORD written = 0;
  return WriteConsoleInputW(console, records, 2, &written) && written == 2;
}

enum class Key { AtPrompt, BeforeStart, Never };

struct ConsoleRun {
  std::string error;  // why the run could not be made; empty when it was
  bool finished = false;
  DWORD exitCode = 0;
  std::string output;
  ULONGLONG startedAt = 0;
  ULONGLONG promptAt = 0;  // when the prompt was first seen; 0 if never
};

// A program still running at the time-out is terminated.
inline ConsoleRun RunOnConsole(const std::wstring &program, const std::wstring &outputPath, HANDLE console,
                               Key key, DWORD timeoutMs) {
  ConsoleRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    run.error = "cannot create the output file: " + std::to_string(GetLastError());
    return run;
  }
  FlushConsoleInputBuffer(console);
  if (key == Key::BeforeStart && !TypeKey(console)) {
    run.error = "cannot type into the console: " + std::to_string(GetLastError());
    CloseHandle(output);
    return run;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = console;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  run.startedAt = GetTickCount64();
  const BOOL started =
      CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(output);
  if (!started) {
    run.error = "cannot start the program: " + std::to_string(error);
    return run;
  }
  CloseHandle(info.hThread);
  while (GetTickCount64() - run.startedAt < timeoutMs) {
    if (WaitForSingleObject(info.hProcess, 10) == WAIT_OBJECT_0) {
      run.finished = true;
      break;
    }
    if (run.promptAt == 0 && ReadBytes(outputPath).find(kPrompt) != std::string::npos) {
      run.promptAt = GetTickCount64();
      if (key == Key::AtPrompt && !TypeKey(console)) {
        run.error = "cannot type into the console: " + std::to_string(GetLastError());
      }
    }
  }
  if (!run.finished) {
    TerminateProcess(info.hProcess, 99);
    WaitForSingleObject(info.hProcess, 10000);
  }
  GetExitCodeProcess(info.hProcess, &run.exitCode);
  CloseHandle(info.hProcess);
  run.output = ReadBytes(outputPath);
  return run;
}

}  // namespace e2e
