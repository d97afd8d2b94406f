// The scripted service control manager, APC queues, processes and console of
// the host stand-in. One service exists; every name opens it.
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "StandInState.h"

namespace standin {
namespace detail {
namespace {

constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
// The program's own id; the scripted service's processes count from 4000.
constexpr DWORD kOwnProcessId = 100;

DWORD MaskBit(DWORD state) {
  return 1u << (state - 1);
}

// A service handle's rights as the system maps the generic ones: reading
// carries the queries, executing the start, stop and other controls.
bool HasRight(const Object &object, DWORD right) {
  DWORD granted = object.access;
  if (granted & GENERIC_READ) {
    granted |=
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
  }
  if (granted & GENERIC_WRITE) {
    granted |= SERVICE_CHANGE_CONFIG;
  }
  if (granted & GENERIC_EXECUTE) {
    granted |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  }
  if (granted & GENERIC_ALL) {
    granted |= SERVICE_ALL_ACCESS;
  }
  return (granted & right) == right;
}

// What a protected process may be opened for.
constexpr DWORD kProtectedProcessRights =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | PROCESS_SUSPEND_RESUME;

void Schedule(std::uint64_t at, std::function<void()> action) {
  State &s = Get();
  s.events.push_back(Event{at, s.eventOrder++, std::move(action)});
}

// As the system does it: the status goes into the caller's block and the
// callback is taken from it when the notification is queued; the APC later
// calls that callback with the block's address, whatever the block holds by
// then.
void QueueNotification(const Registration &reg) {
  State &s = Get();
  SERVICE_NOTIFY_2W *block = reg.block;
  block->dwNotificationStatus = ERROR_SUCCESS;
  block->ServiceStatus = SERVICE_STATUS_PROCESS{};
  block->ServiceStatus.dwCurrentState = s.service.state;
  block->ServiceStatus.dwProcessId = s.currentPid;
  block->dwNotificationTriggered = reg.mask & MaskBit(s.service.state);
  const PFN_SC_NOTIFY_CALLBACK callback = block->pfnNotifyCallback;
  s.apcs[reg.thread].push_back(Apc{reg.service, [callback, block] {
                                     if (callback == nullptr) {
                                       Record("APC to address 0");  // a crash on the system
                                       return;
                                     }
                                     callback(block);
                                   }});
}

// A registration is spent once its notification is queued.
void NotifyMatching() {
  State &s = Get();
  if (!s.service.deliverNotifications) {
    return;
  }
  const DWORD bit = MaskBit(s.service.state);
  auto it = s.registrations.begin();
  while (it != s.registrations.end()) {
    if (it->mask & bit) {
      QueueNotification(*it);
      it = s.registrations.erase(it);
    } else {
      ++it;
    }
  }
}

void SetState(DWORD state) {
  State &s = Get();
  s.service.state = state;
  if (state == SERVICE_STOPPED && s.currentPid != 0) {
    const std::uint64_t end =
        s.service.processLinger < 0 ? kForever : s.now + static_cast<std::uint64_t>(s.service.processLinger);
    s.processEnds[s.currentPid] = end;
    s.currentPid = 0;
  }
  NotifyMatching();
}

void Transition(std::int64_t delay, DWORD state) {
  if (delay >= 0) {
    Schedule(Get().now + static_cast<std::uint64_t>(delay), [state] { SetState(state); });
  }
}

bool HasApc() {
  State &s = Get();
  auto it = s.apcs.find(std::this_thread::get_id());
  return it != s.apcs.end() && !it->second.empty();
}

// Runs the calling thread's APCs outside the model's lock, as the system
// does; an APC may call back into the stand-in.
void RunApcs() {
  State &s = Get();
  std::deque<Apc> queue;
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    queue.swap(s.apcs[std::this_thread::get_id()]);
  }
  for (Apc &apc : queue) {
    apc.run();
  }
}

void CallSleepHook() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const int count = ++s.sleeps;
  if (s.onSleep) {
    s.onSleep(count);
  }
}

Object *Sc(SC_HANDLE handle, ObjectKind kind) {
  Object *object = FindHandle(handle);
  return object && object->kind == kind ? object : nullptr;
}

}  // namespace

void ResetServices() {
  State &s = Get();
  s.service = ServiceScript();
  s.notifyCalls = 0;
  s.events.clear();
  s.eventOrder = 0;
  s.registrations.clear();
  s.apcs.clear();
  s.processEnds.clear();
  s.currentPid = 0;
  s.nextPid = 4000;
  s.startArguments.clear();
  s.onSleep = nullptr;
  s.sleeps = 0;
  s.launch = LaunchScript();
  s.kbhitCalls = 0;
}

bool AdvanceClock(std::uint64_t ms, bool stopOnApc) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::uint64_t target = s.now + ms;
  for (;;) {
    auto next = std::min_element(s.events.begin(), s.events.end(), [](const Event &a, const Event &b) {
      return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
    if (next == s.events.end() || next->at > target) {
      s.now = target;
      return false;
    }
    Event event = std::move(*next);
    s.events.erase(next);
    s.now = std::max(s.now, event.at);
    event.action();
    if (stopOnApc && HasApc()) {
      return true;
    }
  }
}

}  // namespace detail

using namespace detail;

void SetService(const ServiceScript &script) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.service = script;
  s.currentPid = script.state == SERVICE_STOPPED ? 0 : s.nextPid++;
  if (s.currentPid != 0) {
    s.processEnds[s.currentPid] = kForever;
  }
  // A service caught in a pending state goes on to where it was heading.
  if (script.state == SERVICE_START_PENDING) {
    Transition(script.startDelay, SERVICE_RUNNING);
  } else if (script.state == SERVICE_STOP_PENDING) {
    Transition(script.stopDelay, SERVICE_STOPPED);
  } else if (script.state == SERVICE_CONTINUE_PENDING) {
    Transition(script.continueDelay, SERVICE_RUNNING);
  }
}

DWORD ServiceState() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.service.state;
}

void ScheduleServiceState(std::uint64_t at, DWORD state) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Schedule(at, [state] { SetState(state); });
}

void ScheduleForeignApc(std::uint64_t at, std::function<void()> apc) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::thread::id thread = std::this_thread::get_id();
  Schedule(at, [thread, apc] { Get().apcs[thread].push_back(Apc{0, apc}); });
}

void OnSleep(std::function<void(int)> hook) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.onSleep = std::move(hook);
}

std::vector<std::wstring> LastStartArguments() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.startArguments;
}

std::size_t OutstandingNotifications() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::size_t queued = 0;
  for (const auto &entry : s.apcs) {
    queued += static_cast<std::size_t>(
        std::count_if(entry.second.begin(), entry.second.end(), [](const Apc &a) { return a.service != 0; }));
  }
  return s.registrations.size() + queued;
}

void SetLaunch(const LaunchScript &script) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.launch = script;
}

}  // namespace standin

using namespace standin;
using namespace standin::detail;

void Sleep(DWORD milliseconds) {
  CallSleepHook();
  Record("Sleep(" + std::to_string(milliseconds) + ")");
  AdvanceClock(milliseconds, false);
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
  CallSleepHook();
  const std::string call = "SleepEx(" + std::to_string(milliseconds) + "," + std::to_string(alertable) + ")";
  bool woken = false;
  {
    std::lock_guard<std::recursive_mutex> guard(Get().lock);
    woken = alertable && (HasApc() || AdvanceClock(milliseconds, true));
    if (!woken && !alertable) {
      AdvanceClock(milliseconds, false);
    }
  }
  Record(call + "->" + (woken ? "192" : "0"));
  if (woken) {
    RunApcs();
    return WAIT_IO_COMPLETION;
  }
  return 0;
}

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call = "OpenSCManagerW(" + Str(machine) + "," + Str(database) + "," + Hex(access) + ")";
  if (s.service.openScmError != 0) {
    Record(call + "->null");
    SetLastError(s.service.openScmError);
    return nullptr;
  }
  Object object;
  object.kind = ObjectKind::ScManager;
  object.access = access;
  auto handle = static_cast<SC_HANDLE>(AddHandle(object));
  Record(call + "->" + HandleName(handle));
  return handle;
}

SC_HANDLE OpenServiceW(SC_HANDLE scm, LPCWSTR name, DWORD access) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call = "OpenServiceW(" + HandleName(scm) + "," + Str(name) + "," + Hex(access) + ")";
  DWORD error = 0;
  if (Sc(scm, ObjectKind::ScManager) == nullptr) {
    error = ERROR_INVALID_HANDLE;
  } else if (!s.service.exists) {
    error = ERROR_SERVICE_DOES_NOT_EXIST;
  } else {
    error = s.service.openServiceError;
  }
  if (error != 0) {
    Record(call + "->null");
    SetLastError(error);
    return nullptr;
  }
  Object object;
  object.kind = ObjectKind::Service;
  object.access = access;
  auto handle = static_cast<SC_HANDLE>(AddHandle(object));
  Record(call + "->" + HandleName(handle));
  return handle;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("CloseServiceHandle(" + HandleName(handle) + ")");
  Object *object = FindHandle(handle);
  if (object == nullptr || (object->kind != ObjectKind::ScManager && object->kind != ObjectKind::Service)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object->kind == ObjectKind::Service && s.service.stateAtClose != 0) {
    const DWORD state = s.service.stateAtClose;
    s.service.stateAtClose = 0;
    SetState(state);
  }
  // Closing a service handle ends its registrations; a notification already
  // queued to a thread stays queued and still runs.
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  s.registrations.erase(std::remove_if(s.registrations.begin(), s.registrations.end(),
                                       [value](const Registration &r) { return r.service == value; }),
                        s.registrations.end());
  s.handles.erase(value);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("QueryServiceStatus(" + HandleName(service) + ")");
  Object *object = Sc(service, ObjectKind::Service);
  DWORD error = object == nullptr                          ? ERROR_INVALID_HANDLE
                : !HasRight(*object, SERVICE_QUERY_STATUS) ? ERROR_ACCESS_DENIED
                                                           : s.service.queryError;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  *status = SERVICE_STATUS{};
  status->dwCurrentState = s.service.state;
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                          LPDWORD needed) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("QueryServiceStatusEx(" + HandleName(service) + "," + std::to_string(level) + "," +
         std::to_string(size) + ")");
  Object *object = Sc(service, ObjectKind::Service);
  DWORD error = object == nullptr                          ? ERROR_INVALID_HANDLE
                : !HasRight(*object, SERVICE_QUERY_STATUS) ? ERROR_ACCESS_DENIED
                : size < sizeof(SERVICE_STATUS_PROCESS)    ? ERROR_INVALID_PARAMETER
                                                           : s.service.queryError;
  if (needed) {
    *needed = sizeof(SERVICE_STATUS_PROCESS);
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  SERVICE_STATUS_PROCESS status{};
  status.dwCurrentState = s.service.state;
  status.dwProcessId = s.service.reportProcessId ? s.currentPid : 0;
  std::copy_n(reinterpret_cast<const BYTE *>(&status), sizeof status, buffer);
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("ControlService(" + HandleName(service) + "," + std::to_string(control) + ")");
  Object *object = Sc(service, ObjectKind::Service);
  const DWORD state = s.service.state;
  DWORD error = 0;
  if (object == nullptr) {
    error = ERROR_INVALID_HANDLE;
  } else if (control == SERVICE_CONTROL_STOP) {
    error = !HasRight(*object, SERVICE_STOP) ? ERROR_ACCESS_DENIED
            : s.service.stopError != 0       ? s.service.stopError
            : state == SERVICE_STOPPED       ? ERROR_SERVICE_NOT_ACTIVE
            : state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING
                ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL
                : 0;
    if (error == 0) {
      SetState(SERVICE_STOP_PENDING);
      Transition(s.service.stopDelay, SERVICE_STOPPED);
    }
  } else if (control == SERVICE_CONTROL_CONTINUE) {
    error = !HasRight(*object, SERVICE_PAUSE_CONTINUE) ? ERROR_ACCESS_DENIED
            : s.service.continueError != 0             ? s.service.continueError
            : state == SERVICE_STOPPED                 ? ERROR_SERVICE_NOT_ACTIVE
            : state != SERVICE_PAUSED                  ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL
                                                       : 0;
    if (error == 0) {
      SetState(SERVICE_CONTINUE_PENDING);
      Transition(s.service.continueDelay, SERVICE_RUNNING);
    }
  } else {
    error = ERROR_INVALID_PARAMETER;
  }
  if (status) {
    *status = SERVICE_STATUS{};
    status->dwCurrentState = s.service.state;
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR *argv) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call = "StartServiceW(" + HandleName(service) + "," + std::to_string(argc) + ",[";
  std::vector<std::wstring> arguments;
  for (DWORD i = 0; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
    call += (i ? "," : "") + Str(argv[i]);
  }
  Record(call + "])");
  Object *object = Sc(service, ObjectKind::Service);
  DWORD error = object == nullptr                    ? ERROR_INVALID_HANDLE
                : !HasRight(*object, SERVICE_START)  ? ERROR_ACCESS_DENIED
                : s.service.startError != 0          ? s.service.startError
                : s.service.state != SERVICE_STOPPED ? ERROR_SERVICE_ALREADY_RUNNING
                                                     : 0;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  s.startArguments = arguments;
  s.currentPid = s.nextPid++;
  s.processEnds[s.currentPid] = kForever;
  SetState(SERVICE_START_PENDING);
  Transition(s.service.startDelay, SERVICE_RUNNING);
  return TRUE;
}

DWORD NotifyServiceStatusChangeW(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW buffer) {
  State &s = Get();
  DWORD result = 0;
  bool runNow = false;
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    const std::size_t call = s.notifyCalls++;
    result = call < s.service.notifyResults.size() ? s.service.notifyResults[call] : s.service.notifyDefault;
    Object *object = Sc(service, ObjectKind::Service);
    if (object == nullptr) {
      result = ERROR_INVALID_HANDLE;
    } else if (result == 0 && !HasRight(*object, SERVICE_QUERY_STATUS)) {
      result = ERROR_ACCESS_DENIED;
    }
    Record("NotifyServiceStatusChangeW(" + HandleName(service) + "," + Hex(mask) + ")->" +
           std::to_string(result));
    if (result == 0) {
      s.registrations.push_back(
          Registration{reinterpret_cast<std::uintptr_t>(service), mask, buffer, std::this_thread::get_id()});
      NotifyMatching();  // a state already in the mask is reported at once
      runNow = s.service.notifyInCall && HasApc();
    }
  }
  if (runNow) {
    RunApcs();
  }
  return result;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call =
      "OpenProcess(" + Hex(access) + "," + std::to_string(inherit) + "," + std::to_string(processId) + ")";
  const auto known = s.processEnds.find(processId);
  DWORD error = 0;
  if (s.service.openProcessFails || known == s.processEnds.end()) {
    error = ERROR_INVALID_PARAMETER;
  } else if (s.service.protectedProcess && (access & ~kProtectedProcessRights) != 0) {
    error = ERROR_ACCESS_DENIED;
  }
  if (error != 0) {
    Record(call + "->null");
    SetLastError(error);
    return nullptr;
  }
  Object object;
  object.kind = ObjectKind::Process;
  object.processId = processId;
  const bool held = std::any_of(s.handles.begin(), s.handles.end(), [processId](const auto &entry) {
    return entry.second.kind == ObjectKind::Process && entry.second.processId == processId;
  });
  if (s.service.processIdReused && known->second <= s.now && !held) {
    object.processId = s.nextPid++;  // another program's, under the same id
    s.processEnds[object.processId] = kForever;
  }
  HANDLE handle = AddHandle(object);
  Record(call + "->" + HandleName(handle));
  return handle;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call = "WaitForSingleObject(" + HandleName(handle) + "," + std::to_string(milliseconds) + ")";
  Object *object = FindHandle(handle);
  DWORD result = WAIT_FAILED;
  if (object != nullptr && object->kind == ObjectKind::Process) {
    const std::uint64_t end = s.processEnds[object->processId];
    if (end <= s.now) {
      result = WAIT_OBJECT_0;
    } else if (milliseconds != INFINITE && end - s.now > milliseconds) {
      AdvanceClock(milliseconds, false);
      result = WAIT_TIMEOUT;
    } else {
      AdvanceClock(end - s.now, false);
      result = WAIT_OBJECT_0;
    }
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  Record(call + "->" + std::to_string(result));
  return result;
}

BOOL CloseHandle(HANDLE handle) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(handle);
  if (object == nullptr || object->kind == ObjectKind::ScManager || object->kind == ObjectKind::Service) {
    Record("CloseHandle(bad)");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL ok = TRUE;
  if (object->kind == ObjectKind::File) {
    ::close(object->fd);
    if ((object->access & GENERIC_WRITE) && s.faults.closeError != 0) {
      SetLastError(s.faults.closeError);
      ok = FALSE;
    }
  } else {
    Record("CloseHandle(" + HandleName(handle) + ")");
  }
  s.handles.erase(reinterpret_cast<std::uintptr_t>(handle));
  return ok;
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  Record("SHGetFolderPathW(" + std::to_string(folder) + ")");
  if (folder != CSIDL_PROGRAM_FILES) {
    return E_INVALIDARG;
  }
  const std::wstring programFiles = L"C:\\Program Files";
  std::copy(programFiles.begin(), programFiles.end(), path);
  path[programFiles.size()] = L'\0';
  return 0;
}

LPWSTR *CommandLineToArgvW(LPCWSTR commandLine, int *argc) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string call = "CommandLineToArgvW(" + Str(commandLine) + ")";
  if (s.service.argvFails || commandLine == nullptr) {
    Record(call + "->null");
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // The system's rules for the first argument: up to the first blank, or
  // between quotes; later ones split on blanks with quotes grouping.
  std::vector<std::wstring> args;
  std::wstring current;
  bool quoted = false;
  bool any = false;
  for (const wchar_t *p = commandLine; *p; ++p) {
    if (*p == L'"') {
      quoted = !quoted;
      any = true;
    } else if ((*p == L' ' || *p == L'\t') && !quoted) {
      if (any) {
        args.push_back(current);
      }
      current.clear();
      any = false;
    } else {
      current += *p;
      any = true;
    }
  }
  if (any) {
    args.push_back(current);
  }
  // One block, as the system returns it: the pointer array, then the texts.
  std::size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
  for (const auto &a : args) {
    bytes += (a.size() + 1) * sizeof(wchar_t);
  }
  auto *block = static_cast<LPWSTR *>(::operator new(bytes));
  auto *text = reinterpret_cast<wchar_t *>(block + args.size() + 1);
  for (std::size_t i = 0; i < args.size(); ++i) {
    block[i] = text;
    text = std::copy(args[i].begin(), args[i].end(), text);
    *text++ = L'\0';
  }
  block[args.size()] = nullptr;
  *argc = static_cast<int>(args.size());
  Record(call + "->" + std::to_string(args.size()));
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  Record("LocalFree");
  ::operator delete(memory);
  return nullptr;
}

BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION info) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const bool plainRecords = processAttributes == nullptr && threadAttributes == nullptr &&
                            environment == nullptr && startupInfo != nullptr &&
                            startupInfo->cb == sizeof(STARTUPINFOW);
  Record("CreateProcessW(" + Str(application) + "," + Str(commandLine) + "," +
         std::to_string(inheritHandles) + "," + std::to_string(flags) + "," + Str(currentDirectory) + "," +
         (plainRecords ? "plain" : "other") + ")");
  OpenImage(application);
  if (s.launch.createProcessError != 0) {
    SetLastError(s.launch.createProcessError);
    return FALSE;
  }
  AddProcess(info);
  return TRUE;
}

void standin::detail::AddProcess(LPPROCESS_INFORMATION info) {
  State &s = Get();
  Object process;
  process.kind = ObjectKind::Process;
  process.processId = s.nextPid++;
  s.processEnds[process.processId] = kForever;
  Object thread;
  thread.kind = ObjectKind::Thread;
  info->hProcess = AddHandle(process);
  info->hThread = AddHandle(thread);
  info->dwProcessId = process.processId;
  info->dwThreadId = 1;
}

int _kbhit() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const int hit = s.kbhitCalls++ >= s.launch.keyAfterPolls ? 1 : 0;
  Record("_kbhit()->" + std::to_string(hit));
  return hit;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE console, LPDWORD events) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(console);
  if (object == nullptr || object->kind != ObjectKind::Console) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *events = 0;  // keys are scripted through _kbhit
  return TRUE;
}

HWND GetConsoleWindow() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  static char window;  // only its address matters
  const bool has = s.launch.consoleInput && s.launch.consoleWindow;
  Record(std::string("GetConsoleWindow()->") + (has ? "window" : "null"));
  return has ? reinterpret_cast<HWND>(&window) : nullptr;
}

DWORD GetCurrentProcessId() {
  return kOwnProcessId;
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD *sessionId) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("ProcessIdToSessionId(" + std::to_string(processId) + ")");
  if (processId != kOwnProcessId && s.processEnds.count(processId) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *sessionId = s.launch.sessionId;
  if (processId >= kFirstProgramId && processId - kFirstProgramId < s.identity.programs.size()) {
    *sessionId = s.identity.programs[processId - kFirstProgramId].second;
  }
  return TRUE;
}

HWINSTA GetProcessWindowStation() {
  static char station;  // only its address matters
  return reinterpret_cast<HWINSTA>(&station);
}

BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("GetUserObjectInformationW(" + std::to_string(index) + ")");
  if (needed) {
    *needed = sizeof(USEROBJECTFLAGS);
  }
  if (object != GetProcessWindowStation() || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  USEROBJECTFLAGS flags{};
  flags.dwFlags = s.launch.visibleStation ? WSF_VISIBLE : 0;
  *static_cast<USEROBJECTFLAGS *>(information) = flags;
  return TRUE;
}
