// Installs the stub service as "kvvpnservice" in the Wine prefix and looks
// at it from outside, for the tests that run against the real manager.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "platform/Win32.h"
#include "service/ServiceControl.h"

namespace e2e {

// The stub reads its behaviour from "<exe>.cfg" when it starts and appends
// what it does to "<exe>.log"; tests keep their scratch files beside it too.
inline std::wstring BesideStub(const std::wstring &program, const wchar_t *suffix) {
  return program.substr(0, program.size() - 4) + suffix;
}

// Key=value lines (see StubService.cpp); empty for the defaults.
inline void ConfigureStub(const std::wstring &program, const std::string &text) {
  std::ofstream out(BesideStub(program, L".cfg").c_str(), std::ios::trunc);
  out << text;
}

inline std::string StubLog(const std::wstring &program) {
  std::ifstream in(BesideStub(program, L".log").c_str());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void ClearStubLog(const std::wstring &program) {
  DeleteFileW(BesideStub(program, L".log").c_str());
}

inline SC_HANDLE OpenStubService(DWORD access) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(scm, kServiceName, access);
  CloseServiceHandle(scm);
  return service;
}

// A service that is not installed shows as stopped with process id 0.
inline SERVICE_STATUS_PROCESS StubStatus() {
  SERVICE_STATUS_PROCESS status{};
  status.dwCurrentState = SERVICE_STOPPED;
  DWORD needed = 0;
  if (SC_HANDLE service = OpenStubService(SERVICE_QUERY_STATUS)) {
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                         &needed);
    CloseServiceHandle(service);
  }
  return status;
}

// Waits (bounded) until the service shows the state.
inline bool WaitStubState(DWORD state, int ms = 30000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (StubStatus().dwCurrentState == state) {
      return true;
    }
    Sleep(50);
  }
  return false;
}

inline bool ControlStub(DWORD control) {
  SC_HANDLE service = OpenStubService(SERVICE_STOP | SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status{};
  const bool sent = service != nullptr && ControlService(service, control, &status) != FALSE;
  CloseServiceHandle(service);
  return sent;
}

inline bool SetStubStartType(DWORD startType) {
  SC_HANDLE service = OpenStubService(SERVICE_CHANGE_CONFIG);
  const bool changed = service != nullptr &&
                       ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
  CloseServiceHandle(service);
  return changed;
}

// Whatever a test left running or paused: asked to stop (after a pause, which
// makes a stub that refused the stop read its cleared configuration and take
// it again), and ended if it will not; the manager notices a killed service
// process only slowly.
inline bool ForceStubStopped(const std::wstring &program) {
  const DWORD state = StubStatus().dwCurrentState;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
    ConfigureStub(program, "");
    if (!ControlStub(SERVICE_CONTROL_STOP) && ControlStub(SERVICE_CONTROL_PAUSE) &&
        WaitStubState(SERVICE_PAUSED, 5000)) {
      ControlStub(SERVICE_CONTROL_STOP);
    }
    if (WaitStubState(SERVICE_STOPPED, 15000)) {
      return true;
    }
  }
  const SERVICE_STATUS_PROCESS status = StubStatus();
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (process) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
  }
  return WaitStubState(SERVICE_STOPPED);
}

inline bool RemoveStubService() {
  SC_HANDLE service = OpenStubService(DELETE);
  if (service == nullptr) {
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  }
  const bool removed = DeleteService(service) != FALSE;
  CloseServiceHandle(service);
  return removed;
}

// Installs (or reinstalls) the stub; false with the error left in
// GetLastError when the manager refuses.
inline bool InstallStubService(const std::wstring &program) {
  RemoveStubService();
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  const std::wstring binary = L"\"" + program + L"\"";
  SC_HANDLE service = CreateServiceW(scm, kServiceName, L"Norvane VPN test stub", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  const DWORD error = GetLastError();
  if (service) {
    CloseServiceHandle(service);
  }
  CloseServiceHandle(scm);
  SetLastError(error);
  return service != nullptr;
}

}  // namespace e2e
