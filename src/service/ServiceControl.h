// One service opened through the service control manager, and the stop and
// start operations built on it. State changes are awaited through the
// manager's status-change notification, which arrives as an APC and so runs
// only in this thread's alertable sleeps.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Win32.h"
#include "service/ScHandle.h"

constexpr wchar_t kServiceName[] = L"kvvpnservice";

// Budget of one status wait, spent in alertable steps.
constexpr std::int64_t kStatusWaitBudgetMs = 20000;
constexpr DWORD kStatusWaitStepMs = 500;
// How long a stopped service's process may take to end.
constexpr DWORD kProcessExitWaitMs = 20000;
// Pause before opening the service again when the manager says we lag.
constexpr DWORD kLaggingPauseMs = 500;

class CServiceControl {
 public:
  using Callback = std::function<void(SERVICE_NOTIFY_2W &)>;

  CServiceControl();
  ~CServiceControl();
  // The object's address is the notification context: never copied or moved.
  CServiceControl(const CServiceControl &) = delete;
  CServiceControl &operator=(const CServiceControl &) = delete;

  DWORD Open(const std::wstring &name, DWORD access);
  DWORD Start();
  DWORD WaitForStatus(DWORD mask, const bool &cancel);
  DWORD NotifyStatusChange(DWORD mask, const bool &cancel, const Callback &callback);
  void CancelNotify();
  static void CALLBACK OnStatusNotify(PVOID parameter);

  SC_HANDLE Handle() const { return m_service.Get(); }

 private:
  CScHandle m_service;
  SERVICE_NOTIFY_2W m_notify;
  std::wstring m_serviceName;
  DWORD m_serviceAccess = 0;  // as last asked of Open, for a re-open
  CScHandle m_scm;
  std::unique_ptr<Callback> m_pending;
  std::recursive_mutex m_lock;
};

// Stops the service and waits for it and its process to end. 0 or an error.
DWORD ServiceStop(const bool &cancel);
// Starts the service (or lets a paused one continue) and waits until it
// runs. 0 or an error.
DWORD ServiceStart(const bool &cancel);
