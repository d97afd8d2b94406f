// Run-time binding to the product's logging library, log.dll, shared by
// reference-counted holders. The library is looked for only beside the
// program's executable (or taken when already in the process), never
// through the system's search order.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "platform/Win32.h"

namespace logging {

using LogWriteProc = std::int32_t (*)(std::int32_t value, std::int32_t *detail, HMODULE module,
                                      LPCWSTR function, LPCWSTR format, va_list args);
using LogVoidProc = void (*)();
using LogRemoveModuleProc = void (*)(const char *module);

class CLogDLL {
 public:
  CLogDLL();
  ~CLogDLL();
  CLogDLL(const CLogDLL &) = delete;
  CLogDLL &operator=(const CLogDLL &) = delete;

  // One entry through the library's LogWrite; E_NOINTERFACE without one.
  // A "%s" in the format takes a wide string.
  std::int32_t Write(std::int32_t value, std::int32_t *detail, HMODULE module, LPCWSTR function,
                     LPCWSTR format, ...);

 private:
  HMODULE m_module = nullptr;
  FARPROC m_logApplySettings = nullptr;
  FARPROC m_logSetSettingsFile = nullptr;
  FARPROC m_logEnable = nullptr;
  FARPROC m_logSetLevel = nullptr;
  FARPROC m_logSetPath = nullptr;
  FARPROC m_logSetType = nullptr;
  FARPROC m_logSetMode = nullptr;
  FARPROC m_logSetMaxSize = nullptr;
  FARPROC m_logSetDepth = nullptr;
  LogWriteProc m_logWrite = nullptr;
  FARPROC m_logIsEnabled = nullptr;
  FARPROC m_logMonitorSettings = nullptr;
  LogVoidProc m_logUninitQuillstat = nullptr;
  FARPROC m_logTrackEvent = nullptr;
  FARPROC m_logTrackEventData = nullptr;
  LogRemoveModuleProc m_logRemoveModule = nullptr;
  FARPROC m_logGetLevel = nullptr;
};

// A holder of references to the one shared CLogDLL: the first reference in
// the process creates it (loading the library), the last one given back
// destroys it (unloading the library).
class CLogDLLRef {
 public:
  CLogDLLRef();
  ~CLogDLLRef();
  CLogDLLRef(const CLogDLLRef &) = delete;
  CLogDLLRef &operator=(const CLogDLLRef &) = delete;

  // Takes one more reference.
  void Attach();
  CLogDLL *operator->() const { return m_instance; }
  CLogDLL *Get() const { return m_instance; }

  // Whether any reference is held in the process; read without the lock.
  static bool IsLive();

 private:
  CLogDLL *m_instance = nullptr;
  std::atomic<std::int32_t> m_tally{0};
};

// The entry that the whole-file functions write when they cannot open a
// file: only while a reference is already held elsewhere, and keeping the
// thread's last error as the failed open left it.
void LogCannotOpen(LPCWSTR function, LPCWSTR path);

}  // namespace logging
