// Thread state, the call log, handles and files of the host stand-in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/standin/StandInState.h"

namespace standin {
namespace detail {

State &Get() {
  static State state;
  return state;
}

HANDLE AddHandle(const Object &object) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::uintptr_t value = s.nextHandle;
  s.nextHandle += 4;
  s.handles[value] = object;
  s.handles[value].number = s.nextNumber++;
  return reinterpret_cast<HANDLE>(value);
}

Object *FindHandle(HANDLE handle) {
  State &s = Get();
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == s.handles.end() ? nullptr : &it->second;
}

std::string Hex(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", value);
  return buffer;
}

std::string HandleName(const void *handle) {
  if (handle == nullptr) {
    return "null";
  }
  Object *object = FindHandle(const_cast<void *>(handle));
  return object ? "h" + std::to_string(object->number) : "bad";
}

std::string Str(const wchar_t *text) {
  return text ? '"' + Narrow(text) + '"' : "null";
}

}  // namespace detail

using namespace detail;

namespace {
thread_local DWORD t_lastError = 0;

DWORD ErrorFromErrno(int error, const std::string &path) {
  switch (error) {
  case ENOENT: {
    const std::string::size_type slash = path.find_last_of('/');
    struct stat info {};
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return ::stat(folder.c_str(), &info) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR:
  case EROFS:
    return ERROR_ACCESS_DENIED;
  case EEXIST:
    return ERROR_FILE_EXISTS;
  case ENOSPC:
    return ERROR_DISK_FULL;
  default:
    return ERROR_INVALID_PARAMETER;
  }
}
}  // namespace

void Reset() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  for (auto &entry : s.handles) {
    if (entry.second.fd >= 0) {
      ::close(entry.second.fd);
    }
  }
  s.handles.clear();
  s.nextHandle = 0x1000;
  s.nextNumber = 1;
  s.now = 0;
  s.calls.clear();
  s.driveRoot = "/";
  s.faults = FileFaults();
  s.writtenTotal = 0;
  s.heldForWriting.clear();
  ResetServices();
  ResetModules();
  t_lastError = 0;
}

std::uint64_t Now() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.now;
}

const std::vector<std::string> &Calls() {
  return Get().calls;
}

void ClearCalls() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.calls.clear();
}

void Record(const std::string &line) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.calls.push_back(line);
}

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) {
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

void SetDriveRoot(const std::string &folder) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.driveRoot = folder.empty() || folder.back() != '/' ? folder + '/' : folder;
}

std::string HostPath(const std::wstring &path) {
  std::wstring rest = path;
  std::string prefix;
  if (rest.size() >= 3 && (rest[0] == L'C' || rest[0] == L'c') && rest[1] == L':' && rest[2] == L'\\') {
    prefix = Get().driveRoot;
    rest = rest.substr(3);
  }
  for (wchar_t &c : rest) {
    if (c == L'\\') {
      c = L'/';
    }
  }
  std::string out = prefix;
  for (wchar_t c : rest) {
    // Paths in tests are ASCII or UTF-8 made wide byte by byte.
    out += static_cast<char>(c);
  }
  return out;
}

void SetFileFaults(const FileFaults &faults) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.faults = faults;
  s.writtenTotal = 0;
}

void HoldOpenForWriting(const std::wstring &path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.heldForWriting.insert(HostPath(path));
}

std::size_t OpenHandleCount() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.handles.size();
}

}  // namespace standin

using namespace standin;
using namespace standin::detail;

DWORD GetLastError() {
  return t_lastError;
}
void SetLastError(DWORD error) {
  t_lastError = error;
}

__time64_t _time64(__time64_t *out) {
  const __time64_t now = static_cast<__time64_t>(std::time(nullptr));
  if (out) {
    *out = now;
  }
  return now;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD attributes, HANDLE) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::string host = HostPath(path);
  Record("CreateFileW(" + Str(path) + "," + Hex(access) + "," + Hex(share) + "," +
         std::to_string(disposition) + "," + Hex(attributes) + ")");
  if (s.heldForWriting.count(host)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  const bool write = (access & GENERIC_WRITE) != 0;
  const bool read = (access & GENERIC_READ) != 0;
  struct stat info {};
  const bool exists = ::stat(host.c_str(), &info) == 0;
  // A file without write bits plays the read-only attribute, which binds
  // administrators too (tests run as root, whom POSIX modes do not stop).
  if (exists && write && (info.st_mode & 0222) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int flags = write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
  case CREATE_NEW:
    flags |= O_CREAT | O_EXCL;
    break;
  case CREATE_ALWAYS:
    flags |= O_CREAT | O_TRUNC;
    break;
  case OPEN_ALWAYS:
    flags |= O_CREAT;
    break;
  default:
    break;
  }
  const int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return INVALID_HANDLE_VALUE;
  }
  if (exists && disposition == CREATE_ALWAYS) {
    SetLastError(ERROR_ALREADY_EXISTS);
  } else {
    SetLastError(0);
  }
  Object object;
  object.fd = fd;
  object.writable = write;
  return AddHandle(object);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, void *) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(file);
  *read = 0;
  if (object == nullptr || object->kind != ObjectKind::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const ssize_t got = ::read(object->fd, buffer, size);
  if (got < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *read = static_cast<DWORD>(got);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void *) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(file);
  *written = 0;
  if (object == nullptr || object->kind != ObjectKind::File || !object->writable) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::uint64_t allowed = size;
  if (s.faults.writeChunk != 0 && allowed > s.faults.writeChunk) {
    allowed = s.faults.writeChunk;
  }
  bool fail = false;
  if (s.faults.writeLimit >= 0) {
    const std::uint64_t limit = static_cast<std::uint64_t>(s.faults.writeLimit);
    const std::uint64_t room = limit > s.writtenTotal ? limit - s.writtenTotal : 0;
    if (room < allowed) {
      allowed = room;
      fail = true;
    }
  }
  if (allowed > 0) {
    const ssize_t put = ::write(object->fd, buffer, allowed);
    if (put < 0) {
      SetLastError(ErrorFromErrno(errno, ""));
      return FALSE;
    }
    s.writtenTotal += static_cast<std::uint64_t>(put);
    *written = static_cast<DWORD>(put);
  }
  if (fail) {
    SetLastError(s.faults.writeError);
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FindHandle(file);
  if (object == nullptr || object->kind != ObjectKind::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (s.faults.flushError != 0) {
    SetLastError(s.faults.flushError);
    return FALSE;
  }
  return ::fsync(object->fd) == 0 || errno == EINVAL ? TRUE : FALSE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("MoveFileExW(" + Str(from) + "," + Str(to) + "," + Hex(flags) + ")");
  const std::string target = HostPath(to);
  if (s.faults.moveError != 0) {
    SetLastError(s.faults.moveError);
    return FALSE;
  }
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0) {
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if ((info.st_mode & 0222) == 0 || s.heldForWriting.count(target)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  if (::rename(HostPath(from).c_str(), target.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, target));
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  Record("DeleteFileW(" + Str(path) + ")");
  const std::string host = HostPath(path);
  if (::unlink(host.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return FALSE;
  }
  return TRUE;
}
