// A recording log.dll for the tests: every call, with its arguments, is
// appended as one line to the file named by KV_TEST_LOG_CALLS, which
// outlives the library's unloads. Built as a Windows DLL and as a host
// shared object. With KV_TEST_LOG_PARTIAL it exports LogRemoveModule alone.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#define KV_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
using HMODULE = void *;
#endif

namespace {

std::mutex g_lock;

void Append(const std::string &line) {
  const char *path = std::getenv("KV_TEST_LOG_CALLS");
  if (path == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> guard(g_lock);
  if (std::FILE *file = std::fopen(path, "ab")) {
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
  }
}

// The arguments are ASCII in every test.
[[maybe_unused]] std::string Narrow(const wchar_t *text) {
  std::string out;
  for (; text && *text; ++text) {
    out += static_cast<char>(*text);
  }
  return out;
}

[[maybe_unused]] std::string Address(const void *pointer) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(pointer));
}

#ifdef _WIN32
std::string OwnPath(HMODULE self) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(self, path, MAX_PATH);
  return path;
}
#else
std::string OwnPath() {
  Dl_info info{};
  dladdr(reinterpret_cast<void *>(&Append), &info);
  return info.dli_fname ? info.dli_fname : "";
}
__attribute__((constructor)) void Loaded() {
  Append("load " + OwnPath());
}
__attribute__((destructor)) void Unloaded() {
  Append("unload");
}
#endif

}  // namespace

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    Append("load " + OwnPath(self));
  } else if (reason == DLL_PROCESS_DETACH) {
    Append("unload");
  }
  return TRUE;
}
#endif

KV_EXPORT void LogRemoveModule(const char *module) {
  Append(std::string("LogRemoveModule ") + module);
}

#ifndef KV_TEST_LOG_PARTIAL
KV_EXPORT void LogInit() {
  Append("LogInit");
}
KV_EXPORT void LogDeinit() {
  Append("LogDeinit");
}
KV_EXPORT void LogUninitQuillstat() {
  Append("LogUninitQuillstat");
}
// The format's one "%s" takes a wide string.
KV_EXPORT std::int32_t LogWrite(std::int32_t value, std::int32_t *detail, HMODULE module,
                                const wchar_t *function, const wchar_t *format, va_list args) {
  std::string line = "LogWrite " + std::to_string(value) + " " + (detail ? std::to_string(*detail) : "null") +
                     " " + Address(module) + " " + Narrow(function) + " [" + Narrow(format) + "]";
  if (std::wstring(format).find(L"%s") != std::wstring::npos) {
    line += " " + Narrow(va_arg(args, const wchar_t *));
  }
  Append(line);
  return 7;
}
KV_EXPORT void LogApplySettings() {}
KV_EXPORT void LogSetSettingsFile() {}
KV_EXPORT void LogEnable() {}
KV_EXPORT void LogSetLevel() {}
KV_EXPORT void LogSetPath() {}
KV_EXPORT void LogSetType() {}
KV_EXPORT void LogSetMode() {}
KV_EXPORT void LogSetMaxSize() {}
KV_EXPORT void LogSetDepth() {}
KV_EXPORT void LogIsEnabled() {}
KV_EXPORT void LogMonitorSettings() {}
KV_EXPORT void LogGetLevel() {}
KV_EXPORT void LogTrackEvent() {}
KV_EXPORT void LogTrackEventData() {}
#endif
