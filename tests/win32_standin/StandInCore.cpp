// Thread state, the call log, handles and files of the host stand-in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "StandInState.h"

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

LPWSTR WideCopy(const std::string &text) {
  auto *copy = static_cast<LPWSTR>(::operator new((text.size() + 1) * sizeof(wchar_t)));
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = L'\0';
  return copy;
}

}  // namespace detail

using namespace detail;

namespace {
thread_local DWORD t_lastError = 0;

constexpr char kInheritedDacl[] = "inherited";
// A folder's owner and access list unless a test sets them: Program Files'
// own, which only the system, administrators and TrustedInstaller may
// change.
constexpr char kTrustedInstaller[] = "S-1-5-80-956008885-3425870976-2724470633-1187018009-3431930357";
const std::string kProgramFilesSecurity =
    std::string("O:") + kTrustedInstaller + "D:PAI(A;;FA;;;" + kTrustedInstaller + ")(A;CIIO;GA;;;" +
    kTrustedInstaller +
    ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";

FileId IdOf(const struct stat &info) {
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

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
  s.onCall = nullptr;
  s.driveRoot = "/";
  s.faults = FileFaults();
  s.fileCalls = FileCallCounts();
  s.attributes.clear();
  s.dacls.clear();
  s.folderInheritance.clear();
  s.objectLinks.clear();
  s.oplocks.clear();
  ResetServices();
  ResetModules();
  ResetEvents();
  ResetIdentity();
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
  if (s.onCall) {
    s.onCall(line);
  }
}

void OnCall(std::function<void(const std::string &line)> hook) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.onCall = std::move(hook);
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
  const auto link = Get().objectLinks.find(out);
  return link == Get().objectLinks.end() ? out : link->second;
}

void SetObjectLink(const std::wstring &path, const std::wstring &target) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.objectLinks[HostPath(path)] = HostPath(target);
}

void SetFileFaults(const FileFaults &faults) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.faults = faults;
  s.fileCalls = FileCallCounts();
}

FileCallCounts FileCalls() {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.fileCalls;
}

void SetFileDacl(const std::wstring &path, const std::string &dacl) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  struct stat info {};
  if (::stat(HostPath(path).c_str(), &info) == 0) {
    s.dacls[IdOf(info)] = dacl;
  }
}

void SetFolderInheritance(const std::wstring &folder, const std::string &entries) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  std::string host = HostPath(folder);
  if (host.empty() || host.back() != '/') {
    host += '/';
  }
  s.folderInheritance[host] = entries;
}

std::string FileDacl(const std::wstring &path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  struct stat info {};
  if (::stat(HostPath(path).c_str(), &info) != 0) {
    return "";
  }
  auto it = s.dacls.find(IdOf(info));
  return it == s.dacls.end() ? kInheritedDacl : it->second;
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

namespace {

// The file rules below follow the system's: share modes checked against
// every open handle of the same file, the read-only attribute binding
// everyone (tests run as root, whom POSIX modes do not stop, so write bits
// are checked here), and a folder without write bits refusing new files.

bool Reads(DWORD access) {
  return (access & GENERIC_READ) != 0;
}
bool Writes(DWORD access) {
  return (access & GENERIC_WRITE) != 0;
}
bool Deletes(DWORD access) {
  return (access & DELETE) != 0;
}

bool ReadOnly(const struct stat &info) {
  return (info.st_mode & 0222) == 0;
}

std::string Folder(const std::string &host) {
  const std::string::size_type slash = host.find_last_of('/');
  return slash == std::string::npos ? "." : host.substr(0, slash + 1);
}

// A folder that exists but takes no new entries.
bool FolderRefuses(const std::string &host) {
  struct stat info {};
  return ::stat(Folder(host).c_str(), &info) == 0 && ReadOnly(info);
}

bool SharingConflict(const FileId &file, DWORD access, DWORD share) {
  for (const auto &entry : Get().handles) {
    const Object &open = entry.second;
    if (open.kind != ObjectKind::File || !(open.file == file)) {
      continue;
    }
    if ((Reads(access) && !(open.share & FILE_SHARE_READ)) ||
        (Writes(access) && !(open.share & FILE_SHARE_WRITE)) ||
        (Deletes(access) && !(open.share & FILE_SHARE_DELETE)) ||
        (Reads(open.access) && !(share & FILE_SHARE_READ)) ||
        (Writes(open.access) && !(share & FILE_SHARE_WRITE)) ||
        (Deletes(open.access) && !(share & FILE_SHARE_DELETE))) {
      return true;
    }
  }
  return false;
}

// Takes the call number and reports whether the faults list it.
bool Injected(int &counter, const std::vector<int> &failing) {
  const int call = ++counter;
  return std::find(failing.begin(), failing.end(), call) != failing.end();
}

Object *FileHandle(HANDLE handle) {
  Object *object = FindHandle(handle);
  return object && object->kind == ObjectKind::File ? object : nullptr;
}

// The handle's file when it was opened with the access the call needs;
// null, with the system's error set, otherwise.
Object *FileWith(HANDLE file, bool (*allows)(DWORD access)) {
  Object *object = FileHandle(file);
  if (object == nullptr || !allows(object->access)) {
    SetLastError(object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

// The start of the calls that need a handle open for writing: the call is
// logged, the handle checked and an injected failure taken; null after a
// failure, with its error set.
Object *ForWriting(const char *call, HANDLE file, int &counter, const std::vector<int> &failing,
                   DWORD error) {
  Record(std::string(call) + "(" + HandleName(file) + ")");
  Object *object = FileWith(file, Writes);
  if (object != nullptr && Injected(counter, failing)) {
    SetLastError(error);
    return nullptr;
  }
  return object;
}

std::uint64_t SizeOf(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// Takes room for a file to grow from 'size' to 'end'; false when the volume
// has less, with 'room' set to what there is. Room a file gives up is never
// given back: on a full volume, other writers take it at once.
bool TakeSpace(std::uint64_t size, std::uint64_t end, std::uint64_t &room) {
  std::int64_t &free = Get().faults.freeSpace;
  const std::uint64_t growth = end > size ? end - size : 0;
  if (free < 0 || growth <= static_cast<std::uint64_t>(free)) {
    if (free >= 0) {
      free -= static_cast<std::int64_t>(growth);
    }
    return true;
  }
  room = static_cast<std::uint64_t>(free);
  return false;
}

// The access list a new file takes from the descriptor it is created with,
// in the given host folder: a protected list ("D:P") as it is; otherwise
// with the folder's inheritable entries appended, as the system merges
// them. Without a descriptor, what the folder hands down.
std::string CreatedDacl(const void *descriptor, const std::string &folder) {
  if (descriptor == nullptr) {
    return kInheritedDacl;
  }
  std::string dacl(static_cast<const char *>(descriptor));
  const auto inherited = Get().folderInheritance.find(folder);
  if (dacl.find("D:P") == std::string::npos && inherited != Get().folderInheritance.end()) {
    dacl += inherited->second;
  }
  return dacl;
}

HANDLE FailOpen(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Whether an open of the file with this access finds an oplock's break
// under way, and completes at once as asked; an open that does not ask
// waits until the holder, a day later, lets go.
bool BreaksOplock(const FileId &file, DWORD access, bool completeAtOnce) {
  State &s = Get();
  const auto held = std::find(s.oplocks.begin(), s.oplocks.end(), file);
  if (held == s.oplocks.end() || (access & ~(FILE_READ_ATTRIBUTES | SYNCHRONIZE)) == 0) {
    return false;
  }
  if (completeAtOnce) {
    return true;
  }
  Record("waits for an oplock's break");
  s.oplocks.erase(held);
  AdvanceClock(24ull * 3600 * 1000, false);
  return false;
}

}  // namespace

void standin::detail::OpenImage(LPCWSTR application) {
  struct stat info {};
  if (application != nullptr && ::stat(HostPath(application).c_str(), &info) == 0) {
    BreaksOplock(IdOf(info), GENERIC_READ, false);
  }
}

void standin::SetOplock(const std::wstring &path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  struct stat info {};
  if (::stat(HostPath(path).c_str(), &info) == 0) {
    s.oplocks.push_back(IdOf(info));
  }
}

namespace {

// CreateFileW's work, for the native open of a full path too, which may ask
// not to wait for an oplock (then 'oplocked' tells whether it found one).
HANDLE OpenPath(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                DWORD attributes, bool completeIfOplocked, bool &oplocked) {
  State &s = Get();
  std::string host = HostPath(path);
  if (std::wstring(path) == L"CONIN$") {
    if (!s.launch.consoleInput) {
      return FailOpen(ERROR_INVALID_HANDLE);  // as the system answers a process without a console
    }
    Object console;
    console.kind = ObjectKind::Console;
    console.access = access;
    return AddHandle(console);
  }
  const int mode = Writes(access) ? (Reads(access) ? O_RDWR : O_WRONLY) : O_RDONLY;
  struct stat info {};
  int fd = -1;
  // A link at the name is followed, to where it points even when nothing is
  // there, unless the link itself is asked for.
  if (::lstat(host.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (attributes & FILE_FLAG_OPEN_REPARSE_POINT) {
      return FailOpen(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    }
    char target[4096];
    const ssize_t length = ::readlink(host.c_str(), target, sizeof target - 1);
    if (length > 0) {
      const std::string to(target, static_cast<std::size_t>(length));
      host = to.front() == '/' ? to : Folder(host) + to;
    }
  }
  if (::stat(host.c_str(), &info) != 0) {
    if (disposition == OPEN_EXISTING) {
      return FailOpen(ErrorFromErrno(ENOENT, host));
    }
    if (FolderRefuses(host)) {
      return FailOpen(ERROR_ACCESS_DENIED);
    }
    fd = ::open(host.c_str(), mode | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      return FailOpen(ErrorFromErrno(errno, host));
    }
    const FileId id = IdOf(info);
    s.attributes[id] =
        (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) | FILE_ATTRIBUTE_ARCHIVE;
    s.dacls[id] = CreatedDacl(security ? security->lpSecurityDescriptor : nullptr, Folder(host));
    SetLastError(0);
  } else {
    const FileId id = IdOf(info);
    const bool folder = S_ISDIR(info.st_mode);
    if (folder && !(attributes & FILE_FLAG_BACKUP_SEMANTICS)) {
      return FailOpen(ERROR_ACCESS_DENIED);
    }
    if (disposition == CREATE_NEW) {
      return FailOpen(ERROR_FILE_EXISTS);
    }
    if (Writes(access) && ReadOnly(info)) {
      return FailOpen(ERROR_ACCESS_DENIED);
    }
    // Replacing a hidden or system file asks for those attributes too.
    const DWORD kept = s.attributes[id] & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (disposition == CREATE_ALWAYS && (kept & ~attributes) != 0) {
      return FailOpen(ERROR_ACCESS_DENIED);
    }
    if (SharingConflict(id, access, share)) {
      return FailOpen(ERROR_SHARING_VIOLATION);
    }
    oplocked = BreaksOplock(id, access, completeIfOplocked);
    fd = ::open(host.c_str(), (folder ? O_RDONLY | O_DIRECTORY : mode) | O_CLOEXEC);
    if (fd < 0) {
      return FailOpen(ErrorFromErrno(errno, host));
    }
    if (disposition == CREATE_ALWAYS) {
      if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return FailOpen(ERROR_ACCESS_DENIED);
      }
    }
    SetLastError(disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
  }
  Object object;
  object.fd = fd;
  object.file = IdOf(info);
  object.access = access;
  object.share = share;
  object.directory = S_ISDIR(info.st_mode);
  return AddHandle(object);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE) {
  std::lock_guard<std::recursive_mutex> guard(Get().lock);
  Record("CreateFileW(" + Str(path) + "," + Hex(access) + "," + Hex(share) + "," +
         std::to_string(disposition) + "," + Hex(attributes) + ")");
  bool oplocked = false;
  return OpenPath(path, access, share, security, disposition, attributes, false, oplocked);
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR *file) {
  const std::wstring full(path);
  if (file != nullptr) {
    *file = nullptr;
  }
  if (full.size() >= size) {
    return static_cast<DWORD>(full.size() + 1);
  }
  std::copy(full.begin(), full.end(), buffer);
  buffer[full.size()] = L'\0';
  return static_cast<DWORD>(full.size());
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, void *) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  *read = 0;
  Object *object = FileWith(file, Reads);
  if (object == nullptr) {
    return FALSE;
  }
  if (Injected(s.fileCalls.reads, s.faults.failReads)) {
    SetLastError(s.faults.readError);
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
  *written = 0;
  Object *object = FileWith(file, Writes);
  if (object == nullptr) {
    return FALSE;
  }
  if (s.faults.endAtWrite != 0 && s.fileCalls.writes + 1 == s.faults.endAtWrite) {
    EndProcess(s.faults.endBy);
  }
  std::uint64_t allowed = size;
  if (s.faults.writeChunk != 0 && allowed > s.faults.writeChunk) {
    allowed = s.faults.writeChunk;
  }
  DWORD error = 0;
  if (Injected(s.fileCalls.writes, s.faults.failWrites)) {
    allowed /= 2;
    error = s.faults.writeError;
  }
  const auto position = static_cast<std::uint64_t>(::lseek(object->fd, 0, SEEK_CUR));
  const std::uint64_t length = SizeOf(object->fd);
  std::uint64_t room = 0;
  if (!TakeSpace(length, position + allowed, room)) {
    // Only what fits is written: the bytes the file has, and the room left.
    const std::uint64_t fits = std::max(length, position) + room;
    allowed = fits > position ? std::min(allowed, fits - position) : 0;
    TakeSpace(length, position + allowed, room);
    error = ERROR_DISK_FULL;
  }
  if (allowed > 0) {
    const ssize_t put = ::write(object->fd, buffer, allowed);
    if (put < 0) {
      SetLastError(ErrorFromErrno(errno, ""));
      return FALSE;
    }
    *written = static_cast<DWORD>(put);
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FileHandle(file);
  const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  const off_t at = object ? ::lseek(object->fd, static_cast<off_t>(distance.QuadPart), whence) : -1;
  if (at < 0) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (position) {
    position->QuadPart = static_cast<std::int64_t>(at);
  }
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = ForWriting("SetEndOfFile", file, s.fileCalls.endOfFile, s.faults.failEndOfFile,
                              s.faults.endOfFileError);
  if (object == nullptr) {
    return FALSE;
  }
  const auto end = static_cast<std::uint64_t>(::lseek(object->fd, 0, SEEK_CUR));
  const std::uint64_t length = SizeOf(object->fd);
  std::uint64_t room = 0;
  if (!TakeSpace(length, end, room)) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  if (::ftruncate(object->fd, static_cast<off_t>(end)) != 0) {
    SetLastError(ErrorFromErrno(errno, ""));
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object =
      ForWriting("FlushFileBuffers", file, s.fileCalls.flushes, s.faults.failFlushes, s.faults.flushError);
  if (object == nullptr) {
    return FALSE;
  }
  return ::fsync(object->fd) == 0 || errno == EINVAL ? TRUE : FALSE;
}

BOOL DeleteFileW(LPCWSTR path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("DeleteFileW(" + Str(path) + ")");
  const std::string host = HostPath(path);
  struct stat info {};
  // A link goes itself, never what it points to.
  if (::lstat(host.c_str(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return FALSE;
  }
  const FileId id = IdOf(info);
  if (S_ISDIR(info.st_mode) || ReadOnly(info) || FolderRefuses(host)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Every open handle must allow deletion.
  if (SharingConflict(id, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (::unlink(host.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return FALSE;
  }
  if (info.st_nlink == 1) {
    s.attributes.erase(id);
    s.dacls.erase(id);
  }
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("MoveFileExW(" + Str(from) + "," + Str(to) + "," + Hex(flags) + ")");
  const std::string source = HostPath(from);
  const std::string target = HostPath(to);
  struct stat info {};
  if (::lstat(source.c_str(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno, source));
    return FALSE;
  }
  if (FolderRefuses(source) || FolderRefuses(target)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Renaming opens the file for deletion.
  if (SharingConflict(IdOf(info), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  struct stat existing {};
  if (::lstat(target.c_str(), &existing) == 0 && !(flags & MOVEFILE_REPLACE_EXISTING)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, target));
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::string host = HostPath(path);
  struct stat info {};
  if (::stat(host.c_str(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return INVALID_FILE_ATTRIBUTES;
  }
  const auto it = s.attributes.find(IdOf(info));
  DWORD attributes = it == s.attributes.end() ? 0 : it->second;
  if (ReadOnly(info)) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  if (S_ISDIR(info.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  const std::string host = HostPath(path);
  struct stat info {};
  if (::stat(host.c_str(), &info) != 0) {
    SetLastError(ErrorFromErrno(errno, host));
    return FALSE;
  }
  const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (info.st_mode & ~0222) : (info.st_mode | 0200);
  ::chmod(host.c_str(), mode & 07777);
  s.attributes[IdOf(info)] =
      attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FileHandle(file);
  struct stat info {};
  if (object == nullptr || ::fstat(object->fd, &info) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *information = BY_HANDLE_FILE_INFORMATION{};
  const auto it = s.attributes.find(object->file);
  information->dwFileAttributes = (it == s.attributes.end() ? 0 : it->second) |
                                  (ReadOnly(info) ? FILE_ATTRIBUTE_READONLY : 0) |
                                  (S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0) |
                                  (S_ISLNK(info.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
  if (information->dwFileAttributes == 0) {
    information->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  information->dwVolumeSerialNumber = static_cast<DWORD>(object->file.device);
  information->nFileIndexHigh = static_cast<DWORD>(object->file.inode >> 32);
  information->nFileIndexLow = static_cast<DWORD>(object->file.inode);
  information->nNumberOfLinks = static_cast<DWORD>(info.st_nlink);
  information->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.st_size) >> 32);
  information->nFileSizeLow = static_cast<DWORD>(info.st_size);
  return TRUE;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor, ULONG *size) {
  Record("ConvertStringSecurityDescriptorToSecurityDescriptorW(" + Str(text) + ")");
  if (text == nullptr || revision != SDDL_REVISION_1 || descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string narrow = Narrow(text);
  char *block = static_cast<char *>(::operator new(narrow.size() + 1));
  std::copy(narrow.begin(), narrow.end(), block);
  block[narrow.size()] = '\0';
  *descriptor = block;
  if (size) {
    *size = static_cast<ULONG>(narrow.size() + 1);
  }
  return TRUE;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID *owner,
                      PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Record("GetSecurityInfo(" + HandleName(handle) + "," + std::to_string(type) + "," + Hex(information) + ")");
  Object *object = FileHandle(handle);
  if (object == nullptr || type != SE_FILE_OBJECT || (information & DACL_SECURITY_INFORMATION) == 0 ||
      (information & ~(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) != 0 || owner || group ||
      sacl || descriptor == nullptr) {
    return object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  }
  if ((object->access & (GENERIC_READ | READ_CONTROL)) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  const auto it = s.dacls.find(object->file);
  const std::string text = it != s.dacls.end() ? it->second
                           : object->directory ? kProgramFilesSecurity
                                               : kInheritedDacl;
  char *block = static_cast<char *>(::operator new(text.size() + 1));
  std::copy(text.begin(), text.end(), block);
  block[text.size()] = '\0';
  *descriptor = block;
  if (dacl) {
    *dacl = reinterpret_cast<PACL>(block);
  }
  return ERROR_SUCCESS;
}

// ---- files relative to a held folder -------------------------------------

namespace {

// The system's codes for the errors these calls give.
constexpr std::pair<DWORD, std::uint32_t> kStatuses[] = {
    {ERROR_FILE_NOT_FOUND, 0xC0000034u}, {ERROR_PATH_NOT_FOUND, 0xC000003Au},
    {ERROR_ACCESS_DENIED, 0xC0000022u},  {ERROR_SHARING_VIOLATION, 0xC0000043u},
    {ERROR_ALREADY_EXISTS, 0xC0000035u}, {ERROR_INVALID_PARAMETER, 0xC000000Du},
    {ERROR_INVALID_HANDLE, 0xC0000008u}, {ERROR_DISK_FULL, 0xC000007Fu},
};

NTSTATUS Status(DWORD error) {
  if (error == ERROR_FILE_EXISTS) {
    error = ERROR_ALREADY_EXISTS;  // a name collision, in the native calls' words
  }
  for (const auto &entry : kStatuses) {
    if (entry.first == error) {
      return static_cast<NTSTATUS>(entry.second);
    }
  }
  return static_cast<NTSTATUS>(0xC0000001u);  // unsuccessful
}

// Where the handle's file lies now, links resolved, as the host sees it.
std::string FdPath(int fd) {
  char path[4096];
  const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string HostName(const wchar_t *name, std::size_t bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes / sizeof(wchar_t); ++i) {
    out += static_cast<char>(name[i]);
  }
  return out;
}

Object *Folder(HANDLE handle) {
  Object *object = FileHandle(handle);
  return object && object->directory ? object : nullptr;
}

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  for (const auto &entry : kStatuses) {
    if (static_cast<NTSTATUS>(entry.second) == status) {
      return entry.first;
    }
  }
  return status == 0 ? ERROR_SUCCESS : 31u;  // a general failure
}

// One name in the folder, never a path: a link at it is followed unless the
// link itself is asked for, and then it opens as itself (and reads as
// nothing). The handle is synchronous, as the program asks it to be.
NTSTATUS NtCreateFile(PHANDLE out, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes, PIO_STATUS_BLOCK,
                      PLARGE_INTEGER, ULONG, ULONG share, ULONG disposition, ULONG options, PVOID, ULONG) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  *out = nullptr;
  const UNICODE_STRING &text = *attributes->ObjectName;
  const std::string name = HostName(text.Buffer, text.Length);
  Record("NtCreateFile(" + HandleName(attributes->RootDirectory) + ",\"" + name + "\"," + Hex(access) + "," +
         Hex(share) + "," + std::to_string(disposition) + "," + Hex(options) + ")");
  const bool completeIfOplocked = (options & FILE_COMPLETE_IF_OPLOCKED) != 0;
  bool oplocked = false;
  if (attributes->RootDirectory == nullptr) {
    // A full path behind "\??\", opened as CreateFileW opens a path (a
    // folder too).
    if (name.rfind("\\??\\", 0) != 0 || disposition != FILE_OPEN || !(access & SYNCHRONIZE) ||
        !(options & FILE_SYNCHRONOUS_IO_NONALERT)) {
      return Status(ERROR_INVALID_PARAMETER);
    }
    const std::wstring path(text.Buffer + 4, text.Length / sizeof(wchar_t) - 4);
    *out = OpenPath(path.c_str(), access & ~SYNCHRONIZE, share, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, completeIfOplocked, oplocked);
    if (*out == INVALID_HANDLE_VALUE) {
      *out = nullptr;
      return Status(GetLastError());
    }
    return oplocked ? STATUS_OPLOCK_BREAK_IN_PROGRESS : 0;
  }
  Object *folder = Folder(attributes->RootDirectory);
  if (folder == nullptr || name.empty() || name.find_first_of("/\\") != std::string::npos ||
      !(access & SYNCHRONIZE) || !(options & FILE_SYNCHRONOUS_IO_NONALERT)) {
    return Status(ERROR_INVALID_PARAMETER);
  }
  const bool itself = (options & FILE_OPEN_REPARSE_POINT) != 0;
  const int mode = Writes(access) ? (Reads(access) ? O_RDWR : O_WRONLY) : O_RDONLY;
  struct stat info {};
  int fd = -1;
  if (::fstatat(folder->fd, name.c_str(), &info, itself ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
    struct stat folderInfo {};
    if (disposition == FILE_OPEN) {
      return Status(ERROR_FILE_NOT_FOUND);
    }
    if (::fstat(folder->fd, &folderInfo) != 0 || ReadOnly(folderInfo)) {
      return Status(ERROR_ACCESS_DENIED);
    }
    fd = ::openat(folder->fd, name.c_str(), mode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      return Status(ErrorFromErrno(errno, ""));
    }
    s.dacls[IdOf(info)] = CreatedDacl(attributes->SecurityDescriptor, FdPath(folder->fd) + "/");
    s.attributes[IdOf(info)] = FILE_ATTRIBUTE_ARCHIVE;
  } else if (S_ISDIR(info.st_mode) || disposition == FILE_CREATE) {
    return Status(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
  } else if (S_ISLNK(info.st_mode)) {
    fd = ::openat(folder->fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } else {
    if (Writes(access) && ReadOnly(info)) {
      return Status(ERROR_ACCESS_DENIED);
    }
    if (SharingConflict(IdOf(info), access, share)) {
      return Status(ERROR_SHARING_VIOLATION);
    }
    oplocked = BreaksOplock(IdOf(info), access, completeIfOplocked);
    fd = ::openat(folder->fd, name.c_str(), mode | O_CLOEXEC | (itself ? O_NOFOLLOW : 0));
  }
  if (fd < 0) {
    return Status(ErrorFromErrno(errno, ""));
  }
  Object object;
  object.fd = fd;
  object.file = IdOf(info);
  object.access = access;
  object.share = share;
  *out = AddHandle(object);
  return oplocked ? STATUS_OPLOCK_BREAK_IN_PROGRESS : 0;
}

// Renames (class 10: into the given folder, never over a name there unless
// asked) or deletes (class 13) the handle's own file, as it is named now.
// Both need the handle to have been opened for deletion.
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK, PVOID information, ULONG,
                              FILE_INFORMATION_CLASS kind) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FileHandle(file);
  const std::string path = object ? FdPath(object->fd) : "";
  if (kind == static_cast<FILE_INFORMATION_CLASS>(10)) {
    const auto *rename = static_cast<const FILE_RENAME_INFO *>(information);
    const std::string name = HostName(rename->FileName, rename->FileNameLength);
    Record("NtSetInformationFile(" + HandleName(file) + ",rename,\"" + name + "\"," +
           std::to_string(rename->ReplaceIfExists) + ")");
    Object *folder = Folder(rename->RootDirectory);
    if (object == nullptr || !Deletes(object->access) || folder == nullptr) {
      return Status(object && Deletes(object->access) ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
    }
    if (::renameat2(AT_FDCWD, path.c_str(), folder->fd, name.c_str(),
                    rename->ReplaceIfExists ? 0 : RENAME_NOREPLACE) != 0) {
      return Status(ErrorFromErrno(errno, ""));
    }
    return 0;
  }
  Record("NtSetInformationFile(" + HandleName(file) + ",delete)");
  if (kind != static_cast<FILE_INFORMATION_CLASS>(13) || object == nullptr || !Deletes(object->access) ||
      !static_cast<const FILE_DISPOSITION_INFO *>(information)->DeleteFile) {
    return Status(object && Deletes(object->access) ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || ::unlink(path.c_str()) != 0) {
    return Status(ErrorFromErrno(errno, path));
  }
  if (info.st_nlink == 1) {
    s.attributes.erase(object->file);
    s.dacls.erase(object->file);
  }
  return 0;
}

// The handle's file where it lies, in the system's form: "\\?\C:\..." under
// the drive root, the host path with backslashes elsewhere.
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
  State &s = Get();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Object *object = FileHandle(file);
  if (object == nullptr || flags != 0) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::string host = FdPath(object->fd);
  const std::string root = s.driveRoot;
  std::string path = host.compare(0, root.size(), root) == 0 ? "C:/" + host.substr(root.size()) : host;
  std::replace(path.begin(), path.end(), '/', '\\');
  path = "\\\\?\\" + path;
  if (path.size() >= size) {
    return static_cast<DWORD>(path.size() + 1);
  }
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = L'\0';
  return static_cast<DWORD>(path.size());
}

int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase) {
  std::wstring left = aLength < 0 ? std::wstring(a) : std::wstring(a, static_cast<std::size_t>(aLength));
  std::wstring right = bLength < 0 ? std::wstring(b) : std::wstring(b, static_cast<std::size_t>(bLength));
  if (ignoreCase) {
    for (std::wstring *text : {&left, &right}) {
      for (wchar_t &c : *text) {
        c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
      }
    }
  }
  return left < right ? 1 : left == right ? CSTR_EQUAL : 3;
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION, LPWSTR *text, ULONG *length) {
  if (descriptor == nullptr || revision != SDDL_REVISION_1 || text == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *text = WideCopy(static_cast<const char *>(descriptor));
  if (length) {
    *length = static_cast<ULONG>(std::char_traits<wchar_t>::length(*text) + 1);
  }
  return TRUE;
}
