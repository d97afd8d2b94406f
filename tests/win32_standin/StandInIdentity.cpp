// Who the program runs as, who else is logged on and where the UI program
// runs: tokens (SIDs as text), sessions, the desktop shell, the process
// list, the session and environment libraries, and launches as a user.
#include <algorithm>
#include <cstring>
#include <limits>

#include "StandInState.h"

namespace standin::detail {
namespace {

constexpr char kSystem[] = "S-1-5-18";

HANDLE AddToken(const std::string &user, DWORD session, DWORD access) {
  Object token;
  token.kind = ObjectKind::Token;
  token.user = user;
  token.session = session;
  token.access = access;
  return AddHandle(token);
}

Object *Token(HANDLE handle) {
  Object *object = FindHandle(handle);
  return object && object->kind == ObjectKind::Token ? object : nullptr;
}

std::string Who(const Object *token) {
  return token ? token->user : "bad";
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Only SYSTEM may have another session's user.
BOOL WINAPI QueryUserToken(ULONG session, PHANDLE token) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!s.identity.system) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD);
  }
  const auto user = s.identity.sessionUsers.find(session);
  if (user == s.identity.sessionUsers.end()) {
    return Fail(ERROR_NO_TOKEN);
  }
  *token = AddToken(user->second, session, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY);
  return TRUE;
}

BOOL WINAPI CreateEnvironmentBlock(LPVOID *environment, HANDLE token, BOOL) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *user = Token(token);
  if (user == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  *environment = new char;  // only its address matters
  s.environments[*environment] = user->user;
  return TRUE;
}

BOOL WINAPI DestroyEnvironmentBlock(LPVOID environment) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (s.environments.erase(environment) == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  delete static_cast<char *>(environment);
  return TRUE;
}

// As whom a launch runs, in which folder, with what command line.
std::string Launched(const Object *token, LPCWSTR currentDirectory, LPWSTR commandLine) {
  return Who(token) + "," + Str(currentDirectory) + "," + Str(commandLine);
}

}  // namespace

void ResetIdentity() {
  State &s = Get();
  for (const auto &entry : s.environments) {
    delete static_cast<const char *>(entry.first);
  }
  s.environments.clear();
  s.identity = IdentityScript();
}

template <typename Function>
FARPROC AsFarProc(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

std::map<std::string, FARPROC> SystemLibrary(const std::wstring &name) {
  if (name == L"wtsapi32.dll") {
    return {{"WTSQueryUserToken", AsFarProc(QueryUserToken)}};
  }
  if (name == L"userenv.dll") {
    return {{"CreateEnvironmentBlock", AsFarProc(CreateEnvironmentBlock)},
            {"DestroyEnvironmentBlock", AsFarProc(DestroyEnvironmentBlock)}};
  }
  return {};
}

}  // namespace standin::detail

using namespace standin;
using namespace standin::detail;

namespace standin {

void SetIdentity(const IdentityScript &script) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.identity = script;
  for (DWORD i = 0; i < script.programs.size(); ++i) {
    s.processEnds[kFirstProgramId + i] = std::numeric_limits<std::uint64_t>::max();
  }
  if (!script.shellUser.empty()) {
    s.processEnds[kShellProcessId] = std::numeric_limits<std::uint64_t>::max();
  }
}

std::size_t EnvironmentBlockCount() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.environments.size();
}

}  // namespace standin

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

// This program's own token, or the desktop shell's.
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (process == GetCurrentProcess()) {
    *token = AddToken(s.identity.system ? kSystem : kOwnUser, s.launch.sessionId, access);
    return TRUE;
  }
  Object *object = FindHandle(process);
  if (object == nullptr || object->kind != ObjectKind::Process || object->processId != kShellProcessId) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  *token = AddToken(s.identity.shellUser, s.launch.sessionId, access);
  FindHandle(*token)->elevated = s.identity.shellElevated;
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information, DWORD length,
                         LPDWORD needed) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = Token(token);
  if (object == nullptr || !(object->access & TOKEN_QUERY)) {
    return Fail(object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  }
  if (kind == TokenElevation) {
    *needed = sizeof(TOKEN_ELEVATION);
    static_cast<TOKEN_ELEVATION *>(information)->TokenIsElevated = object->elevated;
    return length >= sizeof(TOKEN_ELEVATION) ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  // The SID's text follows the record, in the caller's buffer.
  *needed = static_cast<DWORD>(sizeof(TOKEN_USER) + object->user.size() + 1);
  if (length < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto *user = static_cast<TOKEN_USER *>(information);
  char *sid = reinterpret_cast<char *>(user + 1);
  std::memcpy(sid, object->user.c_str(), object->user.size() + 1);
  user->User = SID_AND_ATTRIBUTES{sid, 0};
  return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text) {
  *text = WideCopy(static_cast<const char *>(sid));
  return TRUE;
}

BOOL DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL,
                      TOKEN_TYPE, PHANDLE duplicate) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = Token(token);
  if (object == nullptr || !(object->access & TOKEN_DUPLICATE)) {
    return Fail(object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  }
  *duplicate = AddToken(object->user, object->session, access);
  return TRUE;
}

// Runs in the token's session. Needs SYSTEM's privileges; a job that
// refuses breakaway refuses it, and keeps its processes in its session.
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                          LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID environment,
                          LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION info) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *user = Token(token);
  const auto block = s.environments.find(environment);
  Record("CreateProcessAsUserW(" + Launched(user, currentDirectory, commandLine) + "," +
         (user ? std::to_string(user->session) : "") + "," + Str(startupInfo->lpDesktop) + "," + Hex(flags) +
         ",env=" + (block == s.environments.end() ? "none" : block->second) + ")");
  OpenImage(application);
  if (user == nullptr || !s.identity.system) {
    return Fail(user ? ERROR_PRIVILEGE_NOT_HELD : ERROR_INVALID_HANDLE);
  }
  if (s.identity.jobForbidsBreakaway &&
      ((flags & CREATE_BREAKAWAY_FROM_JOB) || user->session != s.launch.sessionId)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  AddProcess(info);
  return TRUE;
}

// Runs in this program's session whatever the token's, through the
// Secondary Logon service.
BOOL CreateProcessWithTokenW(HANDLE token, DWORD, LPCWSTR application, LPWSTR commandLine, DWORD, LPVOID,
                             LPCWSTR currentDirectory, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *user = Token(token);
  Record("CreateProcessWithTokenW(" + Launched(user, currentDirectory, commandLine) + ")");
  OpenImage(application);
  if (user == nullptr || s.identity.withTokenError != 0) {
    return Fail(user ? s.identity.withTokenError : ERROR_INVALID_HANDLE);
  }
  AddProcess(info);
  return TRUE;
}

HWND GetShellWindow() {
  static char window;  // only its address matters
  return Get().identity.shellUser.empty() ? nullptr : reinterpret_cast<HWND>(&window);
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
  if (window == nullptr || window != GetShellWindow()) {
    return 0;
  }
  *processId = kShellProcessId;
  return 1;
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if (flags != TH32CS_SNAPPROCESS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Object snapshot;
  snapshot.kind = ObjectKind::Snapshot;
  return AddHandle(snapshot);
}

// The scripted programs, by their file names, in their order.
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W *entry) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(snapshot);
  if (object == nullptr || object->kind != ObjectKind::Snapshot || entry->dwSize != sizeof *entry) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (object->next >= s.identity.programs.size()) {
    return Fail(ERROR_NO_MORE_FILES);
  }
  const std::wstring &path = s.identity.programs[object->next].first;
  const std::wstring file = path.substr(path.find_last_of(L'\\') + 1);
  entry->th32ProcessID = kFirstProgramId + static_cast<DWORD>(object->next++);
  file.copy(entry->szExeFile, MAX_PATH - 1);
  entry->szExeFile[std::min<std::size_t>(file.size(), MAX_PATH - 1)] = L'\0';
  return TRUE;
}

BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W *entry) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (Object *object = FindHandle(snapshot)) {
    object->next = 0;
  }
  return Process32NextW(snapshot, entry);
}

BOOL QueryFullProcessImageNameW(HANDLE process, DWORD, LPWSTR path, PDWORD size) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(process);
  const DWORD index = object ? object->processId - kFirstProgramId : 0;
  if (object == nullptr || object->kind != ObjectKind::Process || object->processId < kFirstProgramId ||
      index >= s.identity.programs.size()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  const std::wstring &image = s.identity.programs[index].first;
  if (image.size() >= *size) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  image.copy(path, image.size());
  path[image.size()] = L'\0';
  *size = static_cast<DWORD>(image.size());
  return TRUE;
}
