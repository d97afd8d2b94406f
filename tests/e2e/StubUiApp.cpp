// A stand-in for the product's user-interface program, windowed as the
// product's is: it appends a line to "<exe>.log" and ends at once. The line
// holds, apart by tabs, the tick count, its command line, its current
// folder, and USERPROFILE and KV_TEST_LOG_CALLS (a variable of the test
// harness's own) as "NAME=value", empty where unset.
#include <string>

#include "common/Files.h"
#include "platform/Handle.h"
#include "platform/Win32.h"

int wmain() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring log = testfiles::BesideProgram(path, L".log");
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::wstring line = std::to_wstring(GetTickCount64()) + L"\t" + GetCommandLineW() + L"\t" + folder;
  for (const wchar_t *name : {L"USERPROFILE", L"KV_TEST_LOG_CALLS"}) {
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(name, value, MAX_PATH);
    line += std::wstring(L"\t") + name + L"=" + value;
  }
  line += L"\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr,
                      nullptr);
  // Appends under a retry: the two launches of one run may overlap.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const CHandle file(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      DWORD written = 0;
      WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
      return 0;
    }
    Sleep(10);
  }
  return 1;
}
