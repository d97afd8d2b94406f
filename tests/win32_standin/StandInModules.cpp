// Modules of the host stand-in: libraries are real shared objects, loaded
// with dlopen from the host path behind their Windows path, and counted the
// way the Windows loader counts them.
#include <dlfcn.h>

#include <cwctype>

#include "StandInState.h"

namespace standin {
namespace detail {
namespace {

constexpr wchar_t kDefaultProgram[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\KvMigrate.exe";

// Stands for the program's own image; only its address matters.
const char kProgramImage = 0;

HMODULE ProgramModule() {
  return reinterpret_cast<HMODULE>(const_cast<char *>(&kProgramImage));
}

std::wstring Lower(std::wstring text) {
  for (wchar_t &c : text) {
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  }
  return text;
}

std::wstring FileName(const std::wstring &path) {
  const std::wstring::size_type slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

Module *FindModule(HMODULE module) {
  State &s = Get();
  auto it = s.modules.find(reinterpret_cast<std::uintptr_t>(module));
  return it == s.modules.end() ? nullptr : &it->second;
}

std::string ModuleName(HMODULE module) {
  if (module == nullptr) {
    return "null";
  }
  if (module == ProgramModule()) {
    return "program";
  }
  Module *found = FindModule(module);
  return found ? "m" + std::to_string(found->number) : "bad";
}

}  // namespace

void ResetModules() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  for (auto &entry : s.modules) {
    if (entry.second.library) {
      dlclose(entry.second.library);
    }
  }
  s.modules.clear();
  s.nextModuleNumber = 1;
  s.programPath = kDefaultProgram;
}

}  // namespace detail

using namespace detail;

void SetProgramPath(const std::wstring &path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.programPath = path;
}

std::size_t LoadedModuleCount() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.modules.size();
}

}  // namespace standin

using namespace standin;
using namespace standin::detail;

HMODULE GetModuleHandleW(LPCWSTR name) {
  return name == nullptr ? ProgramModule() : nullptr;
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE *module) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  *module = nullptr;
  if (name == nullptr) {
    *module = ProgramModule();
  } else {
    for (auto &entry : s.modules) {
      if (Lower(FileName(entry.second.path)) == Lower(name)) {
        ++entry.second.references;
        *module = reinterpret_cast<HMODULE>(entry.first);
        break;
      }
    }
  }
  Record("GetModuleHandleExW(" + Hex(flags) + "," + Str(name) + ")->" + ModuleName(*module));
  if (*module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::wstring path;
  if (module == nullptr || module == ProgramModule()) {
    path = s.programPath;
  } else if (Module *found = FindModule(module)) {
    path = found->path;
  }
  Record("GetModuleFileNameW(" + ModuleName(module) + "," + std::to_string(size) + ")->" + Str(path.c_str()));
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Cut to the buffer and terminated, as the system does.
  const DWORD length = path.size() < size ? static_cast<DWORD>(path.size()) : size - 1;
  path.copy(buffer, length);
  buffer[length] = L'\0';
  if (length < path.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return length;
}

namespace {

// A library file by its path, loaded once and counted.
HMODULE LoadFile(LPCWSTR path) {
  State &s = Get();
  HMODULE module = nullptr;
  for (auto &entry : s.modules) {
    if (Lower(entry.second.path) == Lower(path)) {
      ++entry.second.references;
      module = reinterpret_cast<HMODULE>(entry.first);
    }
  }
  if (module == nullptr) {
    if (void *library = dlopen(HostPath(path).c_str(), RTLD_NOW | RTLD_LOCAL)) {
      Module &added = s.modules[reinterpret_cast<std::uintptr_t>(library)];
      added.library = library;
      added.path = path;
      added.references = 1;
      added.number = s.nextModuleNumber++;
      module = reinterpret_cast<HMODULE>(library);
    }
  }
  return module;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR path) {
  std::lock_guard<std::recursive_mutex> guard(Get().lock);
  const HMODULE module = LoadFile(path);
  Record("LoadLibraryW(" + Str(path) + ")->" + ModuleName(module));
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
  }
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Module *found = FindModule(module);
  void *symbol = found && found->library ? dlsym(found->library, name) : nullptr;
  if (found && !found->library) {
    const auto it = found->functions.find(name);
    symbol = it == found->functions.end() ? nullptr : reinterpret_cast<void *>(it->second);
  }
  Record("GetProcAddress(" + ModuleName(module) + ",\"" + name + "\")->" + (symbol ? "found" : "null"));
  if (symbol == nullptr) {
    SetLastError(found ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("FreeLibrary(" + ModuleName(module) + ")");
  Module *found = FindModule(module);
  if (found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--found->references == 0) {
    if (found->library) {
      dlclose(found->library);
    }
    s.modules.erase(reinterpret_cast<std::uintptr_t>(module));
  }
  return TRUE;
}

// The system's own libraries, from its folder and nowhere else: any other
// search could find a planted copy, so the stand-in has none to give.
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE, DWORD flags) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::map<std::string, FARPROC> functions = SystemLibrary(Lower(name));
  HMODULE module = nullptr;
  // A library's own folder is searched only for one given by its full path.
  const std::wstring path(name);
  const bool full = path.size() > 2 && (path[1] == L':' || path.compare(0, 2, L"\\\\") == 0);
  if (flags == (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    module = full ? LoadFile(name) : nullptr;
    Record("LoadLibraryExW(" + Str(name) + "," + Hex(flags) + ")->" + ModuleName(module));
    if (module == nullptr) {
      SetLastError(full ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_PARAMETER);
    }
    return module;
  }
  if (flags == LOAD_LIBRARY_SEARCH_SYSTEM32 && !functions.empty()) {
    for (auto &entry : s.modules) {
      if (entry.second.path == Lower(name)) {
        ++entry.second.references;
        module = reinterpret_cast<HMODULE>(entry.first);
      }
    }
    if (module == nullptr) {
      // No shared object stands behind it: an address of its own will do.
      const std::uintptr_t key = 0x7A000000u + static_cast<std::uintptr_t>(s.nextModuleNumber) * 0x10u;
      module = reinterpret_cast<HMODULE>(key);
      Module &entry = s.modules[key];
      entry.path = Lower(name);
      entry.references = 1;
      entry.number = s.nextModuleNumber++;
      entry.functions = functions;
    }
  }
  Record("LoadLibraryExW(" + Str(name) + "," + Hex(flags) + ")->" + ModuleName(module));
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
  }
  return module;
}
