#include "file/TextFile.h"

#include "file/Utf8Codec.h"
#include "logging/LogDLL.h"
#include "platform/Handle.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr wchar_t kBackupSuffix[] = L".kvmigrate-backup";
// The backup's name while it is being written: under its own name it is
// always whole.
constexpr wchar_t kIncompleteSuffix[] = L"-incomplete";
// The backup is open to SYSTEM and Administrators only, whatever the folder
// grants its files: it lives for the time of the write, for the elevated
// tool alone.
constexpr wchar_t kBackupSecurity[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Console control events (Ctrl+C, Ctrl+Break, a closed console window) wait
// while the file is written, so that their default action, ending the
// process, finds the file and its backup whole. The system runs the handler
// on a thread of its own (for a closed window it allows about 5 s); the
// lock is held by the writing thread.
SRWLOCK g_writing = SRWLOCK_INIT;

BOOL WINAPI WaitForTheWrite(DWORD) {
  AcquireSRWLockShared(&g_writing);
  ReleaseSRWLockShared(&g_writing);
  return FALSE;  // on to the next handler, and in the end the default action
}

class CHoldConsoleEvents {
 public:
  CHoldConsoleEvents() {
    AcquireSRWLockExclusive(&g_writing);
    SetConsoleCtrlHandler(WaitForTheWrite, TRUE);
  }
  ~CHoldConsoleEvents() {
    // The lock goes first: a handler waiting on it may hold the system's
    // own lock, which removing a handler takes.
    ReleaseSRWLockExclusive(&g_writing);
    SetConsoleCtrlHandler(WaitForTheWrite, FALSE);
  }
  CHoldConsoleEvents(const CHoldConsoleEvents &) = delete;
  CHoldConsoleEvents &operator=(const CHoldConsoleEvents &) = delete;
};

bool WriteAll(HANDLE file, const std::string &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
      return false;
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);  // no progress and no reason given
      return false;
    }
    done += written;
  }
  return true;
}

// From the file position to its end; false on a read error.
bool ReadAll(HANDLE file, std::string &bytes) {
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, chunk.data(), kReadChunk, &read, nullptr)) {
      return false;
    }
    if (read == 0) {
      return true;
    }
    bytes.append(chunk.data(), read);
  }
}

// Overwrites from the start without cutting the file first, so that putting
// the original back needs no room the file did not already have.
bool OverwriteWith(HANDLE file, const std::string &bytes) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && WriteAll(file, bytes) && SetEndOfFile(file) &&
         FlushFileBuffers(file);
}

// The original bytes beside the file, for a crash in the middle of the
// write. Written under a temporary name and renamed once flushed, so that a
// kill leaves no partial copy under the backup's name; the rename never
// replaces a copy already there (an earlier run's). Both names are created
// where no file, and no link, has the name: a link planted there is not
// followed. False when it cannot be made, leaving nothing behind.
bool WriteBackup(const std::wstring &backupPath, const std::string &bytes) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  const std::wstring incomplete = backupPath + kIncompleteSuffix;
  // One left by a killed run holds nothing worth keeping (and a link
  // there goes itself, never what it points to).
  DeleteFileW(incomplete.c_str());
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  CHandle backup(CreateFileW(incomplete.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  LocalFree(descriptor);
  if (!backup) {
    return false;
  }
  const bool whole = WriteAll(backup.Get(), bytes) && FlushFileBuffers(backup.Get()) && backup.Close();
  backup.Close();
  if (whole && MoveFileExW(incomplete.c_str(), backupPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(incomplete.c_str());
  return false;
}

}  // namespace

std::wstring FileReadAllText(LPCWSTR path) {
  CHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
  if (!file) {
    logging::LogCannotOpen(L"FileReadAllText", path);
    return {};
  }
  std::string bytes;
  ReadAll(file.Get(), bytes);  // a read error ends the text; what came before it is kept
  file.Close();
  std::wstring text;
  if (!DecodeTextFile(bytes, text)) {
    // A UTF-16 big-endian file is refused as if it could not be opened.
    logging::LogCannotOpen(L"FileReadAllText", path);
    return {};
  }
  return text;
}

std::int32_t FileWriteAllText(LPCWSTR path, std::wstring text) {
  // The file itself, opened as a writer would open it, so that a refusal is
  // the system's own: read-only (5), held by a writer or by a reader that
  // does not share writing (32), missing folder (3). Read access as well,
  // to keep the original bytes.
  CHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    logging::LogCannotOpen(L"FileWriteAllText", path);
    return -1;
  }
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  const std::string bytes = EncodeTextFile(text);
  std::wstring().swap(text);

  std::string original;
  if (!created && !ReadAll(file.Get(), original)) {
    return -1;  // nothing written: without the original there is no way back
  }
  const std::wstring backupPath = std::wstring(path) + kBackupSuffix;
  const CHoldConsoleEvents hold;  // from the first byte written to the last
  const bool backedUp = !created && WriteBackup(backupPath, original);
  if (OverwriteWith(file.Get(), bytes)) {
    file.Close();  // the bytes are on disk: a failing close loses nothing
    if (backedUp) {
      DeleteFileW(backupPath.c_str());
    }
    return 0;
  }
  const DWORD error = GetLastError();
  if (created) {
    file.Close();
    DeleteFileW(path);
  } else if (OverwriteWith(file.Get(), original) && backedUp) {
    DeleteFileW(backupPath.c_str());
  }
  // Should the original not go back, its copy stays beside the file.
  SetLastError(error);
  return -1;
}
