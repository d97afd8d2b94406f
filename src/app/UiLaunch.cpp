#include "app/UiLaunch.h"

#include <cwchar>
#include <memory>
#include <set>
#include <string>

#include "app/Product.h"
#include "file/FolderTrust.h"
#include "file/NativeOpen.h"

namespace {

// A walk of the process list that never ends (Wine gave one once) stops
// here.
constexpr int kMostProcesses = 65536;

// Each launch gets a command line of its own, since the call may write
// into it: the program's quoted path and the arguments, or none at all.
std::vector<wchar_t> CommandLine(const ProductPaths &product, const wchar_t *arguments) {
  std::vector<wchar_t> line;
  if (arguments != nullptr) {
    const std::wstring text = L"\"" + product.uiProgram + L"\" " + arguments;
    line.assign(text.begin(), text.end());
    line.push_back(L'\0');
  }
  return line;
}

LPWSTR Text(std::vector<wchar_t> &line) {
  return line.empty() ? nullptr : line.data();
}

PROCESS_INFORMATION NoProcess() {
  PROCESS_INFORMATION info{};
  info.hProcess = INVALID_HANDLE_VALUE;
  info.hThread = INVALID_HANDLE_VALUE;
  return info;
}

// The launched program goes its own way: its handles are closed at once.
void LetGo(const PROCESS_INFORMATION &info) {
  const CHandle process(info.hProcess);
  const CHandle thread(info.hThread);
}

bool SamePath(const wchar_t *a, const wchar_t *b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// With this process's own token, as the tool always launched it, but in
// the product's folder: the tool's own may be the user's Downloads.
void LaunchPlain(const ProductPaths &product, const wchar_t *arguments) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = NoProcess();
  std::vector<wchar_t> line = CommandLine(product, arguments);
  if (CreateProcessW(product.uiProgram.c_str(), Text(line), nullptr, nullptr, FALSE, 0, nullptr,
                     product.installFolder.c_str(), &startup, &info)) {
    LetGo(info);
  } else {
    GetLastError();
  }
}

// As the shell's user, in this session (the Secondary Logon service starts
// it, with that user's environment).
bool LaunchAsShellUser(HANDLE token, const ProductPaths &product, const wchar_t *arguments) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = NoProcess();
  std::vector<wchar_t> line = CommandLine(product, arguments);
  if (!CreateProcessWithTokenW(token, 0, product.uiProgram.c_str(), Text(line), 0, nullptr,
                               product.installFolder.c_str(), &startup, &info)) {
    return false;
  }
  LetGo(info);
  return true;
}

// The sessions in which the UI program runs, known by its full path: a copy
// of it elsewhere does not count.
std::vector<DWORD> UiSessions(const std::wstring &uiProgram) {
  std::set<DWORD> sessions;
  const CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  const wchar_t *file = uiProgram.c_str() + uiProgram.rfind(L'\\') + 1;
  int walked = 0;
  for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more && walked < kMostProcesses;
       more = Process32NextW(snapshot.Get(), &entry), ++walked) {
    if (!SamePath(entry.szExeFile, file)) {
      continue;
    }
    const CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    DWORD session = 0;
    if (process && QueryFullProcessImageNameW(process.Get(), 0, image, &size) &&
        SamePath(image, uiProgram.c_str()) && ProcessIdToSessionId(entry.th32ProcessID, &session)) {
      sessions.insert(session);
    }
  }
  return {sessions.begin(), sessions.end()};
}

// The program's file itself, through a handle on it.
bool ProgramIsTrusted(const std::wstring &program) {
  const CHandle file = OpenPath(program, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  return file && HandleAdmitsOnlyTrusted(file.Get());
}

// The desktop shell of this session, whether it runs as this process's
// user, and a primary token of its user when the shell is not elevated. An
// elevated shell (UAC off, the built-in Administrator) has no one less
// privileged to offer.
UiShell FindShell(CHandle &primary, bool &ownUser) {
  ownUser = false;
  const HWND shell = GetShellWindow();
  DWORD processId = 0;
  if (shell == nullptr || GetWindowThreadProcessId(shell, &processId) == 0) {
    return UiShell::None;
  }
  const CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  HANDLE raw = nullptr;
  if (!process || !OpenProcessToken(process.Get(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) {
    return UiShell::None;
  }
  const CHandle token(raw);
  const std::wstring user = TokenUserSid(token.Get());
  ownUser = !user.empty() && user == OwnUserSid();
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size)) {
    return UiShell::None;
  }
  if (elevation.TokenIsElevated) {
    return UiShell::Elevated;
  }
  constexpr DWORD kAccess =
      TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  if (!DuplicateTokenEx(token.Get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary, &raw)) {
    return UiShell::None;
  }
  primary.Reset(raw);
  return UiShell::NotElevated;
}

}  // namespace

UiLaunchPlan ChooseUiLaunches(const UiLaunchFacts &facts) {
  UiLaunchPlan plan;
  if (facts.systemLibraries && facts.userTokenAnswer != ERROR_PRIVILEGE_NOT_HELD) {
    std::set<DWORD> targets(facts.uiSessions.begin(), facts.uiSessions.end());
    targets.insert(facts.ownSession);
    targets.erase(0);  // no user sees session 0
    plan.way = UiLaunchWay::SessionUsers;
    plan.sessions.assign(targets.begin(), targets.end());
  } else if (facts.ownSession == 0) {
    plan.relaunch = false;
  } else if (facts.shell == UiShell::NotElevated) {
    plan.way = UiLaunchWay::ShellUser;
    plan.plainFallback = facts.shellIsOwnUser;
  } else if (facts.shell == UiShell::None || !facts.shellIsOwnUser) {
    plan.way = UiLaunchWay::None;
  }
  if (!facts.programTrusted) {
    if (plan.way == UiLaunchWay::Plain) {
      plan.way = UiLaunchWay::None;
    }
    plan.plainFallback = false;
  }
  return plan;
}

CUiLauncher::CUiLauncher(const ProductPaths &product) : m_product(product) {
  UiLaunchFacts facts;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &facts.ownSession)) {
    facts.ownSession = 0;  // unknown: nobody is relaunched into it
  }
  facts.systemLibraries = LoadSystemLibraries();
  if (facts.systemLibraries) {
    HANDLE raw = nullptr;
    facts.userTokenAnswer = m_queryUserToken(facts.ownSession, &raw) ? ERROR_SUCCESS : GetLastError();
    const CHandle token(raw);
  }
  facts.uiSessions = UiSessions(m_product.uiProgram);
  facts.shell = FindShell(m_shellToken, facts.shellIsOwnUser);
  facts.programTrusted = m_product.trusted && ProgramIsTrusted(m_product.uiProgram);
  m_plan = ChooseUiLaunches(facts);
}

// From the system folder only: a copy beside this program, or anywhere on
// the search path, is never loaded into it.
bool CUiLauncher::LoadSystemLibraries() {
  m_wtsapi.Reset(LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  m_userenv.Reset(LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!m_wtsapi || !m_userenv) {
    return false;
  }
  m_queryUserToken = ProcAs<QueryUserTokenProc>(GetProcAddress(m_wtsapi.Get(), "WTSQueryUserToken"));
  m_createEnvironmentBlock =
      ProcAs<CreateEnvironmentBlockProc>(GetProcAddress(m_userenv.Get(), "CreateEnvironmentBlock"));
  m_destroyEnvironmentBlock =
      ProcAs<DestroyEnvironmentBlockProc>(GetProcAddress(m_userenv.Get(), "DestroyEnvironmentBlock"));
  return m_queryUserToken && m_createEnvironmentBlock && m_destroyEnvironmentBlock;
}

void CUiLauncher::Stop() {
  Launch(L"stop");
}

void CUiLauncher::Relaunch() {
  if (m_plan.relaunch) {
    Launch(nullptr);
  }
}

void CUiLauncher::Launch(const wchar_t *arguments) {
  // The program is held open across the launch, so that nobody can take an
  // oplock on it that the launch's own open would wait for; one already
  // taken makes this open fail at once, and then nothing is launched.
  const CHandle program = OpenPath(m_product.uiProgram, GENERIC_READ | GENERIC_EXECUTE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_NON_DIRECTORY_FILE);
  if (!program) {
    return;
  }
  switch (m_plan.way) {
  case UiLaunchWay::SessionUsers:
    for (const DWORD session : m_plan.sessions) {
      LaunchAsSessionUser(session, arguments);
    }
    return;
  case UiLaunchWay::ShellUser:
    if (!LaunchAsShellUser(m_shellToken.Get(), m_product, arguments) && m_plan.plainFallback) {
      LaunchPlain(m_product, arguments);  // as before: the person at the desk sees the outcome
    }
    return;
  case UiLaunchWay::Plain:
    LaunchPlain(m_product, arguments);
    return;
  case UiLaunchWay::None:
    return;
  }
}

// As the session's user, in that session, with that user's environment, on
// the desktop the user sees. A session whose user cannot be had now (logged
// off since, say) is skipped: nothing else is launched there.
void CUiLauncher::LaunchAsSessionUser(DWORD session, const wchar_t *arguments) const {
  HANDLE raw = nullptr;
  if (!m_queryUserToken(session, &raw)) {
    return;
  }
  const CHandle token(raw);
  LPVOID block = nullptr;
  if (!m_createEnvironmentBlock(&block, token.Get(), FALSE)) {
    return;
  }
  const std::unique_ptr<void, DestroyEnvironmentBlockProc> environment(block, m_destroyEnvironmentBlock);
  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  // Out of this tool's job, so that an agent ending its job leaves the UI
  // program running; in it, where the job allows nothing else.
  for (const DWORD breakaway : {static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB), DWORD{0}}) {
    PROCESS_INFORMATION info = NoProcess();
    std::vector<wchar_t> line = CommandLine(m_product, arguments);
    if (CreateProcessAsUserW(token.Get(), m_product.uiProgram.c_str(), Text(line), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | breakaway, environment.get(),
                             m_product.installFolder.c_str(), &startup, &info)) {
      LetGo(info);
      return;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
      return;
    }
  }
}
