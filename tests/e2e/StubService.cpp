// A stand-in for the product's service under Wine. Its behaviour comes from
// "<exe>.cfg" (key=value lines: start_delay, stop_delay, linger, never_stop,
// in ms or 0/1); it appends what happens to "<exe>.log".
#include <windows.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::wstring g_base;
std::map<std::string, int> g_config;
SERVICE_STATUS_HANDLE g_handle = nullptr;
HANDLE g_stopEvent = nullptr;

int Config(const char *key) {
  auto it = g_config.find(key);
  return it == g_config.end() ? 0 : it->second;
}

void Log(const std::string &line) {
  std::ofstream out((g_base + L".log").c_str(), std::ios::app);
  out << line << "\n";
}

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWaitHint = 30000;
  SetServiceStatus(g_handle, &status);
  Log("state " + std::to_string(state));
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Log("control stop");
    SetEvent(g_stopEvent);
  }
  return NO_ERROR;
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
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stopEvent, INFINITE);
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
  g_base = path;
  g_base = g_base.substr(0, g_base.size() - 4);
  std::ifstream in((g_base + L".cfg").c_str());
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) {
      g_config[line.substr(0, eq)] = std::atoi(line.substr(eq + 1).c_str());
    }
  }
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"kvvpnservice"), ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  Sleep(static_cast<DWORD>(Config("linger")));
  Log("exit");
  return 0;
}
