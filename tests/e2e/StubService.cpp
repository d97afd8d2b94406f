// A stand-in for the product's service under Wine. Its behaviour comes from
// "<exe>.cfg" (key=value lines, in ms, 0/1 or a code): start_delay,
// stop_delay, linger (after stopping), never_stop, refuse_stop (does not
// take the stop control), fail_start (reports itself stopped with this exit
// code instead of running). It takes pause and continue, and reads the file
// again at each control. It appends what happens to "<exe>.log".
#include "common/Files.h"
#include "platform/Handle.h"
#include "platform/Win32.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace {

std::wstring g_program;
std::map<std::string, int> g_config;  // read by the service and control threads
std::mutex g_configLock;
SERVICE_STATUS_HANDLE g_handle = nullptr;
CHandle g_stopEvent;

int Config(const char *key) {
  std::lock_guard<std::mutex> guard(g_configLock);
  auto it = g_config.find(key);
  return it == g_config.end() ? 0 : it->second;
}

void Log(const std::string &line) {
  std::ofstream out(testfiles::BesideProgram(g_program, L".log").c_str(), std::ios::binary | std::ios::app);
  out << line << "\n";
}

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
    status.dwControlsAccepted =
        SERVICE_ACCEPT_PAUSE_CONTINUE | (Config("refuse_stop") ? 0 : SERVICE_ACCEPT_STOP);
  }
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = 30000;
  SetServiceStatus(g_handle, &status);
  Log("state " + std::to_string(state));
}

void LoadConfig() {
  std::lock_guard<std::mutex> guard(g_configLock);
  g_config.clear();
  std::ifstream in(testfiles::BesideProgram(g_program, L".cfg").c_str());
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) {
      g_config[line.substr(0, eq)] = std::atoi(line.substr(eq + 1).c_str());
    }
  }
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  LoadConfig();
  switch (control) {
  case SERVICE_CONTROL_STOP:
    Log("control stop");
    if (Config("refuse_stop")) {
      return ERROR_INVALID_SERVICE_CONTROL;
    }
    SetEvent(g_stopEvent.Get());
    return NO_ERROR;
  case SERVICE_CONTROL_PAUSE:
    Log("control pause");
    Report(SERVICE_PAUSED);
    return NO_ERROR;
  case SERVICE_CONTROL_CONTINUE:
    Log("control continue");
    Report(SERVICE_RUNNING);
    return NO_ERROR;
  case SERVICE_CONTROL_INTERROGATE:
    return NO_ERROR;
  default:
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv) {
  g_handle = RegisterServiceCtrlHandlerExW(L"kvvpnservice", Handler, nullptr);
  std::string args = "args";
  for (DWORD i = 0; i < argc; ++i) {
    std::wstring w(argv[i]);
    args += " " + std::string(w.begin(), w.end());
  }
  Log(args);
  Report(SERVICE_START_PENDING);
  Sleep(static_cast<DWORD>(Config("start_delay")));
  if (const int code = Config("fail_start")) {
    Report(SERVICE_STOPPED, static_cast<DWORD>(code));
    return;
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stopEvent.Get(), INFINITE);
  Report(SERVICE_STOP_PENDING);
  if (Config("never_stop")) {
    Sleep(INFINITE);
  }
  Sleep(static_cast<DWORD>(Config("stop_delay")));
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  g_program = path;
  LoadConfig();
  g_stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"kvvpnservice"), ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  Sleep(static_cast<DWORD>(Config("linger")));
  Log("exit");
  return 0;
}
