// Runs a console program on this console with its output in a file, types
// one key when its prompt appears (or before it starts), and reports its
// exit code. Every wait is bounded.
// Usage: harness PROGRAM OUTPUT_FILE prompt|early|none TIMEOUT_MS
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Types into the console of the given process.
void TypeKey(DWORD processId) {
  FreeConsole();
  AttachConsole(processId);
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  INPUT_RECORD records[2] = {};
  for (int i = 0; i < 2; ++i) {
    records[i].EventType = KEY_EVENT;
    records[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
    records[i].Event.KeyEvent.wRepeatCount = 1;
    records[i].Event.KeyEvent.wVirtualKeyCode = 'A';
    records[i].Event.KeyEvent.uChar.UnicodeChar = L'a';
  }
  DWORD written = 0;
  WriteConsoleInputW(input, records, 2, &written);
  CloseHandle(input);
}

std::string ReadAll(const wchar_t *path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) {
    return text;
  }
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  CloseHandle(file);
  return text;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: harness PROGRAM OUTPUT_FILE prompt|early|none TIMEOUT_MS\n");
    return 2;
  }
  const std::wstring mode = argv[3];
  const DWORD timeout = static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "harness: cannot create the output file: %lu\n", GetLastError());
    return 2;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  // On a console of its own, so the key goes to it alone; held until an
  // early key has been typed.
  if (!CreateProcessW(argv[1], nullptr, nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE | CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "harness: cannot start the program: %lu\n", GetLastError());
    return 2;
  }
  CloseHandle(output);
  if (mode == L"early") {
    TypeKey(info.dwProcessId);
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  const ULONGLONG start = GetTickCount64();
  bool typed = mode != L"prompt";
  DWORD waited = WAIT_TIMEOUT;
  while (GetTickCount64() - start < timeout) {
    waited = WaitForSingleObject(info.hProcess, 50);
    if (waited == WAIT_OBJECT_0) {
      break;
    }
    if (!typed && ReadAll(argv[2]).find("Press any key to close the window.\n") != std::string::npos) {
      TypeKey(info.dwProcessId);
      typed = true;
    }
  }
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, 99);
    WaitForSingleObject(info.hProcess, 5000);
    std::printf("harness: timeout after %lu ms\n", static_cast<unsigned long>(GetTickCount64() - start));
    CloseHandle(info.hProcess);
    return 3;
  }
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  std::printf("exit %lu after %llu ms\n", code, static_cast<unsigned long long>(GetTickCount64() - start));
  return 0;
}
