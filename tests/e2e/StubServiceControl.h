// Installs the stub service as "kvvpnservice" in the Wine prefix and looks
// at it from outside, for the tests that run against the real manager.
#pragma once

#include <string>

#include "common/Files.h"
#include "platform/Handle.h"
#include "platform/Win32.h"
#include "service/ServiceControl.h"

namespace e2e {

using testfiles::BesideProgram;

// Key=value lines (see StubService.cpp); empty for the defaults.
inline void ConfigureStub(const std::wstring &program, const std::string &text) {
  testfiles::WriteBytes(BesideProgram(program, L".cfg"), text);
}

inline std::string StubLog(const std::wstring &program) {
  return testfiles::ReadBytes(BesideProgram(program, L".log"));
}

inline void ClearStubLog(const std::wstring &program) {
  DeleteFileW(BesideProgram(program, L".log").c_str());
}

inline CScHandle OpenStubService(DWORD access) {
  const CScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  return CScHandle(OpenServiceW(scm.Get(), kServiceName, access));
}

// A service that is not installed shows as stopped with process id 0.
inline SERVICE_STATUS_PROCESS StubStatus() {
  SERVICE_STATUS_PROCESS status{};
  status.dwCurrentState = SERVICE_STOPPED;
  DWORD needed = 0;
  if (const CScHandle service = OpenStubService(SERVICE_QUERY_STATUS)) {
    QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
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
  const CScHandle service = OpenStubService(SERVICE_STOP | SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status{};
  return service && ControlService(service.Get(), control, &status) != FALSE;
}

inline bool SetStubStartType(DWORD startType) {
  const CScHandle service = OpenStubService(SERVICE_CHANGE_CONFIG);
  return service &&
         ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
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
    if (const CHandle process{OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId)}) {
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 10000);
    }
  }
  return WaitStubState(SERVICE_STOPPED);
}

inline bool RemoveStubService() {
  const CScHandle service = OpenStubService(DELETE);
  if (!service) {
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  }
  return DeleteService(service.Get()) != FALSE;
}

// Installs (or reinstalls) the stub; false with the error left in
// GetLastError when the manager refuses.
// A removed service stays "marked for deletion" until its process has
// gone, which may take a moment after it reported itself stopped: the
// install is tried again meanwhile (bounded).
inline bool InstallStubService(const std::wstring &program) {
  RemoveStubService();
  const CScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  const std::wstring binary = L"\"" + program + L"\"";
  CScHandle service;
  for (int attempt = 0; attempt < 100 && !service; ++attempt) {
    service.Reset(CreateServiceW(scm.Get(), kServiceName, L"Norvane VPN test stub", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      break;
    }
    if (!service) {
      Sleep(100);
    }
  }
  const DWORD error = GetLastError();
  const bool installed = static_cast<bool>(service);
  service.Close();
  SetLastError(error);
  return installed;
}

}  // namespace e2e
