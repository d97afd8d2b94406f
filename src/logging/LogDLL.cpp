#include "logging/LogDLL.h"

#include <atomic>
#include <string>
#include <vector>

namespace logging {
namespace {

// Process-wide binding state, guarded by the lock word.
std::atomic<std::int32_t> g_lock{0};
CLogDLL *g_instance = nullptr;
std::atomic<std::int32_t> g_references{0};

constexpr DWORD kPathCapacity = 32767;

// Held across whole loads and teardowns, which may take long; so waiters
// sleep rather than spin hot. Not re-entrant. Given back on every way out:
// a load that runs out of memory must not leave every later holder waiting.
class CBindingLock {
 public:
  CBindingLock() {
    while (g_lock.exchange(1) != 0) {
      Sleep(1);
    }
  }
  ~CBindingLock() { g_lock.exchange(0); }
  CBindingLock(const CBindingLock &) = delete;
  CBindingLock &operator=(const CBindingLock &) = delete;
};

std::int32_t NoLogWrite(std::int32_t, std::int32_t *, HMODULE, LPCWSTR, LPCWSTR, va_list) {
  return E_NOINTERFACE;
}

// log.dll beside the program's executable; null when that path cannot be
// had. Never the bare name: the system's search order could find another.
// Its own imports come from its folder or the system's, never from the
// process's search path.
HMODULE LoadBesideProgram() {
  std::vector<wchar_t> buffer(kPathCapacity, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kPathCapacity);
  if (length == 0) {
    return nullptr;
  }
  std::wstring path(buffer.data(), length);
  const std::wstring::size_type slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) {
    return nullptr;
  }
  path.replace(slash, std::wstring::npos, L"\\log.dll");
  return LoadLibraryExW(path.c_str(), nullptr,
                        LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

CLogDLL::CLogDLL() {
  // A library already in the process is used, from whatever folder; this
  // takes a reference of our own, which teardown gives back.
  if (!GetModuleHandleExW(0, L"log.dll", &m_module)) {
    m_module = nullptr;
  }
  if (m_module == nullptr) {
    m_module = LoadBesideProgram();
  }
  if (m_module == nullptr) {
    m_logWrite = NoLogWrite;
    return;
  }
  if (FARPROC init = GetProcAddress(m_module, "LogInit")) {
    ProcAs<LogVoidProc>(init)();
  }
  m_logApplySettings = GetProcAddress(m_module, "LogApplySettings");
  m_logSetSettingsFile = GetProcAddress(m_module, "LogSetSettingsFile");
  m_logEnable = GetProcAddress(m_module, "LogEnable");
  m_logSetLevel = GetProcAddress(m_module, "LogSetLevel");
  m_logSetPath = GetProcAddress(m_module, "LogSetPath");
  m_logSetType = GetProcAddress(m_module, "LogSetType");
  m_logSetMode = GetProcAddress(m_module, "LogSetMode");
  m_logSetMaxSize = GetProcAddress(m_module, "LogSetMaxSize");
  m_logSetDepth = GetProcAddress(m_module, "LogSetDepth");
  m_logWrite = ProcAs<LogWriteProc>(GetProcAddress(m_module, "LogWrite"));
  m_logIsEnabled = GetProcAddress(m_module, "LogIsEnabled");
  m_logMonitorSettings = GetProcAddress(m_module, "LogMonitorSettings");
  m_logGetLevel = GetProcAddress(m_module, "LogGetLevel");
  m_logUninitQuillstat = ProcAs<LogVoidProc>(GetProcAddress(m_module, "LogUninitQuillstat"));
  m_logTrackEvent = GetProcAddress(m_module, "LogTrackEvent");
  m_logTrackEventData = GetProcAddress(m_module, "LogTrackEventData");
  m_logRemoveModule = ProcAs<LogRemoveModuleProc>(GetProcAddress(m_module, "LogRemoveModule"));
  if (m_logWrite == nullptr) {
    m_logWrite = NoLogWrite;
  }
}

CLogDLL::~CLogDLL() {
  if (m_module == nullptr) {
    return;
  }
  if (FARPROC deinit = GetProcAddress(m_module, "LogDeinit")) {
    ProcAs<LogVoidProc>(deinit)();
  }
  if (m_logUninitQuillstat) {
    m_logUninitQuillstat();
  }
  if (m_logRemoveModule) {
    m_logRemoveModule("logging::CLogDLL::~CLogDLL");
  }
  FreeLibrary(m_module);
}

std::int32_t CLogDLL::Write(std::int32_t value, std::int32_t *detail, HMODULE module, LPCWSTR function,
                            LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  const std::int32_t result = m_logWrite(value, detail, module, function, format, args);
  va_end(args);
  return result;
}

CLogDLLRef::CLogDLLRef() {
  Attach();
}

void CLogDLLRef::Attach() {
  {
    CBindingLock lock;
    if (g_references.load() == 0) {
      g_instance = new CLogDLL();
    }
    ++g_references;
  }
  // Our reference keeps the instance from going away meanwhile.
  m_instance = g_instance;
  ++m_tally;
}

CLogDLLRef::~CLogDLLRef() {
  m_instance = nullptr;
  while (--m_tally >= 0) {
    CBindingLock lock;
    if (g_references.load() > 0) {
      --g_references;
    }
    if (g_instance != nullptr && g_references.load() == 0) {
      delete g_instance;
      g_instance = nullptr;
    }
  }
  ++m_tally;
}

bool CLogDLLRef::IsLive() {
  return g_references.load() != 0;
}

void LogCannotOpen(LPCWSTR function, LPCWSTR path) {
  if (!CLogDLLRef::IsLive()) {
    return;
  }
  // The caller reports the failed open's error; logging must not change it.
  const DWORD error = GetLastError();
  {
    CLogDLLRef log;
    std::int32_t detail = 4;
    log->Write(0, &detail, GetModuleHandleW(nullptr), function, L"Cannot open %s", path);
  }
  SetLastError(error);
}

}  // namespace logging
