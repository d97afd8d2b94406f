// Runs a console program with its output in a file: on this process's
// console, typing the closing key into it (at the prompt, before the start,
// or never); or as a deployment agent runs it, detached with no console at
// all, or hidden on a console of its own without a window. Wine gives a console an input queue only under a
// pseudo-terminal. Every wait is bounded.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/Files.h"
#include "platform/Handle.h"
#include "platform/Win32.h"

namespace e2e {

constexpr char kPrompt[] = "Press any key to close the window.\r\n";

using testfiles::ReadBytes;

// The console's input, inheritable so the program reads the same queue;
// empty when there is no usable console.
inline CHandle OpenConsoleInput() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  CHandle input(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, OPEN_EXISTING, 0, nullptr));
  DWORD events = 0;
  if (input && !GetNumberOfConsoleInputEvents(input.Get(), &events)) {
    input.Close();
  }
  return input;
}

// On Windows, a console of this process's own, so that the Ctrl+C raised
// for the tool reaches no test runner; output that goes to a pipe or a file
// stays there. Under Wine the pseudo-terminal gives one already.
inline CHandle OwnConsoleInput() {
  if (!testfiles::UnderWine()) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(nullptr, FALSE);  // a runner may have started this without Ctrl+C
    for (const auto &[which, handle] :
         {std::pair{STD_OUTPUT_HANDLE, output}, std::pair{STD_ERROR_HANDLE, error}}) {
      if (GetFileType(handle) == FILE_TYPE_PIPE || GetFileType(handle) == FILE_TYPE_DISK) {
        SetStdHandle(which, handle);
      }
    }
  }
  return OpenConsoleInput();
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

// Unattended, with standard input from NUL: NoConsole detached
// (DETACHED_PROCESS), NoWindow on a console without a window
// (CREATE_NO_WINDOW, as .NET's CreateNoWindow and PSADT start it).
// CtrlCAtFile: on this console, with Ctrl+C pressed as soon as one of the
// watched files appears; CtrlCAtOutput, as soon as the program has written
// its first line.
enum class Key { AtPrompt, BeforeStart, Never, NoConsole, NoWindow, CtrlCAtFile, CtrlCAtOutput };

struct ConsoleRun {
  std::string error;  // why the run could not be made; empty when it was
  bool finished = false;
  DWORD exitCode = 0;
  std::string output;
  ULONGLONG startedAt = 0;
  ULONGLONG promptAt = 0;  // when the prompt was first seen; 0 if never
  ULONGLONG endedAt = 0;
  // The output file each time it was seen to change, with the time.
  std::vector<std::pair<ULONGLONG, std::string>> outputs;
};

// A program still running at the time-out is terminated.
// A Ctrl+C reaches every process on the console: this one takes it as handled.
inline BOOL WINAPI TakeCtrlC(DWORD event) {
  return event == CTRL_C_EVENT;
}

inline bool AnyExists(const std::vector<std::wstring> &paths) {
  for (const std::wstring &path : paths) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return true;
    }
  }
  return false;
}

inline ConsoleRun RunProgram(const std::wstring &program, const std::wstring &outputPath, HANDLE console,
                             Key key, DWORD timeoutMs, const std::vector<std::wstring> &watched = {}) {
  ConsoleRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  CHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool unattended = key == Key::NoConsole || key == Key::NoWindow;
  CHandle nul;
  if (unattended) {
    nul.Reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                          0, nullptr));
  }
  const HANDLE input = unattended ? nul.Get() : console;
  if (!output || input == nullptr || input == INVALID_HANDLE_VALUE) {
    run.error = "cannot make the standard handles: " + std::to_string(GetLastError());
    return run;
  }
  if (!unattended) {
    FlushConsoleInputBuffer(console);
  }
  if (key == Key::BeforeStart && !TypeKey(console)) {
    run.error = "cannot type into the console: " + std::to_string(GetLastError());
    return run;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output.Get();
  startup.hStdError = output.Get();
  PROCESS_INFORMATION info{};
  const DWORD flags = key == Key::NoConsole ? DETACHED_PROCESS : key == Key::NoWindow ? CREATE_NO_WINDOW : 0;
  run.startedAt = GetTickCount64();
  const BOOL started = CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, TRUE, flags, nullptr,
                                      nullptr, &startup, &info);
  const DWORD error = GetLastError();
  output.Close();
  nul.Close();
  if (!started) {
    run.error = "cannot start the program: " + std::to_string(error);
    return run;
  }
  const CHandle process(info.hProcess);
  const CHandle thread(info.hThread);
  if (key == Key::CtrlCAtFile || key == Key::CtrlCAtOutput) {
    SetConsoleCtrlHandler(TakeCtrlC, TRUE);
    const bool atFile = key == Key::CtrlCAtFile;
    while (GetTickCount64() - run.startedAt < timeoutMs &&
           WaitForSingleObject(process.Get(), atFile ? 1 : 10) != WAIT_OBJECT_0 &&
           !(atFile ? AnyExists(watched) : !ReadBytes(outputPath).empty())) {
    }
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      run.error = "cannot raise Ctrl+C: " + std::to_string(GetLastError());
    }
  }
  // Every 50 ms: finer than any span the tests measure, and light enough
  // for groups of runs side by side (each look is a file read through Wine).
  while (GetTickCount64() - run.startedAt < timeoutMs) {
    const bool ended = WaitForSingleObject(process.Get(), 50) == WAIT_OBJECT_0;
    const std::string now = ReadBytes(outputPath);
    if (run.outputs.empty() || run.outputs.back().second != now) {
      run.outputs.emplace_back(GetTickCount64(), now);
    }
    if (run.promptAt == 0 && now.find(kPrompt) != std::string::npos) {
      run.promptAt = GetTickCount64();
      if (key == Key::AtPrompt && !ended && !TypeKey(console)) {
        run.error = "cannot type into the console: " + std::to_string(GetLastError());
      }
    }
    if (ended) {
      run.finished = true;
      break;
    }
  }
  run.endedAt = GetTickCount64();
  if (!run.finished) {
    TerminateProcess(process.Get(), 99);
    WaitForSingleObject(process.Get(), 10000);
  }
  GetExitCodeProcess(process.Get(), &run.exitCode);
  run.output = ReadBytes(outputPath);
  return run;
}

}  // namespace e2e
