#include "service/ServiceControl.h"

#include "platform/Handle.h"

CServiceControl::CServiceControl() : m_notify() {}

CServiceControl::~CServiceControl() {
  {
    // The system reads the callback from the block when it queues a
    // notification, so the callback stays until no more can be queued; the
    // cleared context makes such a notification a no-op.
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_notify.pContext = nullptr;
    m_pending.reset();
  }
  // Once the service handle is closed, no notification is queued any more.
  m_service.Close();
  // One queued before the close still runs, with this block's address, at
  // the thread's next alertable wait: let it run now, while the block exists.
  SleepEx(0, TRUE);
  CancelNotify();
  m_scm.Close();
}

DWORD CServiceControl::Open(const std::wstring &name, DWORD access) {
  m_serviceName = name;
  m_serviceAccess = access;
  if (!m_scm) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    if (scm == nullptr) {
      return GetLastError();
    }
    m_scm.Reset(scm);
  }
  SC_HANDLE service = OpenServiceW(m_scm.Get(), m_serviceName.c_str(), access);
  if (service == nullptr) {
    return GetLastError();
  }
  m_service.Reset(service);
  return ERROR_SUCCESS;
}

DWORD CServiceControl::Start() {
  // The service gets one argument, its own name.
  const std::wstring command = m_serviceName + L" " + L"";
  int count = 0;
  LPWSTR *arguments = CommandLineToArgvW(command.c_str(), &count);
  if (arguments == nullptr) {
    return GetLastError();
  }
  const BOOL started =
      StartServiceW(m_service.Get(), static_cast<DWORD>(count), const_cast<LPCWSTR *>(arguments));
  LocalFree(arguments);
  return started ? ERROR_SUCCESS : GetLastError();
}

DWORD CServiceControl::NotifyStatusChange(DWORD mask, const bool &cancel, const Callback &callback) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (m_pending) {
    return ERROR_ALREADY_EXISTS;
  }
  m_pending = std::make_unique<Callback>(callback);
  m_notify = SERVICE_NOTIFY_2W();
  m_notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  m_notify.pfnNotifyCallback = &CServiceControl::OnStatusNotify;
  m_notify.pContext = this;

  DWORD result = NotifyServiceStatusChangeW(m_service.Get(), mask, &m_notify);
  // A lagging client must reopen its handles before it may register again:
  // with the access first asked for, which the control or start after the
  // wait needs, and for no longer than one wait's budget.
  std::int64_t budget = kStatusWaitBudgetMs;
  while (result == ERROR_SERVICE_NOTIFY_CLIENT_LAGGING) {
    if (cancel) {
      CancelNotify();
      return ERROR_SERVICE_NOTIFY_CLIENT_LAGGING;
    }
    if (budget <= 0) {
      CancelNotify();
      return ERROR_TIMEOUT;
    }
    m_service.Close();
    m_scm.Close();
    Sleep(kLaggingPauseMs);
    budget -= kLaggingPauseMs;
    const DWORD reopened = Open(m_serviceName, m_serviceAccess);
    if (reopened != ERROR_SUCCESS) {
      return reopened;  // the destructor clears what is left registered
    }
    result = NotifyServiceStatusChangeW(m_service.Get(), mask, &m_notify);
  }
  if (result == ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  CancelNotify();
  return result;
}

void CServiceControl::CancelNotify() {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_notify = SERVICE_NOTIFY_2W();
  m_pending.reset();
}

void CALLBACK CServiceControl::OnStatusNotify(PVOID parameter) {
  auto *block = static_cast<SERVICE_NOTIFY_2W *>(parameter);
  auto *self = static_cast<CServiceControl *>(block->pContext);
  if (self == nullptr) {
    return;  // a cleared block
  }
  std::lock_guard<std::recursive_mutex> guard(self->m_lock);
  if (self->m_pending) {
    (*self->m_pending)(*block);
    self->CancelNotify();  // one delivery spends the registration
  }
}

DWORD CServiceControl::WaitForStatus(DWORD mask, const bool &cancel) {
  bool notified = false;
  // Any delivery counts as the state being reached.
  const DWORD registered =
      NotifyStatusChange(mask, cancel, [&notified](SERVICE_NOTIFY_2W &) { notified = true; });
  if (registered != ERROR_SUCCESS) {
    return registered;
  }
  for (;;) {
    std::int64_t budget = kStatusWaitBudgetMs;
    bool woken = false;
    // The system may run the notification inside the registering call: the
    // flag is looked at before each sleep.
    while (!notified && !cancel && budget > 0) {
      if (SleepEx(kStatusWaitStepMs, TRUE) == WAIT_IO_COMPLETION) {
        woken = true;
        break;
      }
      budget -= kStatusWaitStepMs;
    }
    if (notified) {
      return ERROR_SUCCESS;
    }
    // Woken by some other APC: wait afresh.
    if (!woken || cancel) {
      return ERROR_TIMEOUT;
    }
  }
}

DWORD ServiceStop(const bool &cancel) {
  CServiceControl control;
  DWORD result = control.Open(kServiceName, GENERIC_READ | SERVICE_STOP);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(control.Handle(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                            sizeof status, &needed)) {
    return GetLastError();
  }
  switch (status.dwCurrentState) {
  case SERVICE_STOPPED:
    return ERROR_SUCCESS;
  case SERVICE_START_PENDING:
  case SERVICE_CONTINUE_PENDING:
    // It cannot take the stop control until it has come up.
    result = control.WaitForStatus(SERVICE_NOTIFY_RUNNING, cancel);
    if (result != ERROR_SUCCESS) {
      return result;
    }
    break;
  default:
    break;
  }
  // The service may report itself stopped before its process has let go of
  // its files, so its process is waited for too. It is opened before the
  // stop, while its id still names it, and only for waiting: protected
  // processes refuse more.
  CHandle process;
  if (status.dwProcessId != 0) {
    process.Reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  }
  SERVICE_STATUS controlStatus{};
  if (!ControlService(control.Handle(), SERVICE_CONTROL_STOP, &controlStatus)) {
    return GetLastError();
  }
  result = control.WaitForStatus(SERVICE_NOTIFY_STOPPED, cancel);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  if (process) {
    const DWORD waited = WaitForSingleObject(process.Get(), kProcessExitWaitMs);
    process.Close();
    if (waited != WAIT_OBJECT_0) {
      return ERROR_TIMEOUT;
    }
  }
  return ERROR_SUCCESS;
}

DWORD ServiceStart(const bool &cancel) {
  CServiceControl control;
  // A paused service is let continue, which needs its own right.
  DWORD result = control.Open(kServiceName, GENERIC_READ | SERVICE_START | SERVICE_PAUSE_CONTINUE);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(control.Handle(), &status)) {
    return GetLastError();
  }
  switch (status.dwCurrentState) {
  case SERVICE_RUNNING:
    return ERROR_SUCCESS;
  case SERVICE_PAUSED:
  case SERVICE_PAUSE_PENDING: {
    // The answer does not matter: the wait decides.
    SERVICE_STATUS controlStatus{};
    ControlService(control.Handle(), SERVICE_CONTROL_CONTINUE, &controlStatus);
    return control.WaitForStatus(SERVICE_NOTIFY_RUNNING, cancel);
  }
  case SERVICE_STOP_PENDING:
    result = control.WaitForStatus(SERVICE_NOTIFY_STOPPED, cancel);
    if (result != ERROR_SUCCESS) {
      return result;
    }
    break;
  default:
    break;
  }
  result = control.Start();
  if (result != ERROR_SUCCESS) {
    return result;
  }
  return control.WaitForStatus(SERVICE_NOTIFY_RUNNING, cancel);
}
