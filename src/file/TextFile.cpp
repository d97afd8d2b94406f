#include "file/TextFile.h"

#include <cstring>
#include <utility>
#include <vector>

#include "file/FolderTrust.h"
#include "file/NativeOpen.h"
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

// Console control events wait for the holds: the system runs the handler
// on a thread of its own, and the lock is held by the program's thread for
// as long as a hold lives. Only that thread counts the holds.
SRWLOCK g_held = SRWLOCK_INIT;
int g_holds = 0;

BOOL WINAPI WaitForTheHolds(DWORD) {
  AcquireSRWLockShared(&g_held);
  ReleaseSRWLockShared(&g_held);
  return FALSE;  // on to the next handler, and in the end the default action
}

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

// A name in the held folder, opened relative to it: the folder's path is
// not resolved again, and one component leads nowhere else unless it is a
// link and followLink says to go where it points; otherwise a link opens as
// itself.
CHandle OpenIn(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
               bool followLink, PSECURITY_DESCRIPTOR security = nullptr) {
  return OpenNative(folder, name, access, share, disposition,
                    FILE_NON_DIRECTORY_FILE | (followLink ? 0 : FILE_OPEN_REPARSE_POINT), security);
}

// By number: MSVC's winternl.h names neither class.
const auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
const auto kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);

// Gives the open file a new name in the folder, never over one there.
bool RenameIn(HANDLE file, HANDLE folder, const std::wstring &name) {
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, name.data(), bytes);
  IO_STATUS_BLOCK io{};
  return Succeeded(
      NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation));
}

// Deletes the open file by the name it was opened under, as it is now.
bool DeleteOpen(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  return Succeeded(
      NtSetInformationFile(file, &io, &disposition, sizeof disposition, kFileDispositionInformation));
}

// Where the handle's file really lies, links resolved; empty if unknown.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) {
      break;
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the size it needs, terminator included
  }
  return {};
}

}  // namespace

CHoldConsoleEvents::CHoldConsoleEvents() {
  if (g_holds++ == 0) {
    AcquireSRWLockExclusive(&g_held);
    SetConsoleCtrlHandler(WaitForTheHolds, TRUE);
  }
}

CHoldConsoleEvents::~CHoldConsoleEvents() {
  if (--g_holds == 0) {
    // The lock goes first: a handler waiting on it may hold the system's
    // own lock, which removing a handler takes.
    ReleaseSRWLockExclusive(&g_held);
    SetConsoleCtrlHandler(WaitForTheHolds, FALSE);
  }
}

CTextFile::Identity::Identity(const BY_HANDLE_FILE_INFORMATION &info)
    : volume(info.dwVolumeSerialNumber),
      index((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow) {}

CTextFile::CTextFile(LPCWSTR path) : m_path(path) {
  // The folder keeps its separator, so that a root stays a root.
  const std::wstring::size_type slash = m_path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L".\\" : m_path.substr(0, slash + 1);
  m_name = m_path.substr(slash == std::wstring::npos ? 0 : slash + 1);
  // Not shared for deletion: the folder is neither renamed nor removed
  // while it is held.
  m_folder = OpenPath(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!m_folder) {
    m_folderError = GetLastError();
  } else if (!GetFileInformationByHandle(m_folder.Get(), &info) ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    m_folder.Close();
    m_folderError = ERROR_PATH_NOT_FOUND;
  }
  // What the system says of a file whose folder is missing.
  if (m_folderError == ERROR_FILE_NOT_FOUND) {
    m_folderError = ERROR_PATH_NOT_FOUND;
  }
  if (m_folder) {
    m_folderFinalPath = FinalPath(m_folder.Get());
    m_trusted = !m_folderFinalPath.empty() && HandleAdmitsOnlyTrusted(m_folder.Get());
  }
}

// Not a link, one name only, and that name in the held folder: nothing
// that a writer of the folder could have made to lead elsewhere.
bool CTextFile::IsPlainFileHere(HANDLE file, const BY_HANDLE_FILE_INFORMATION &info,
                                const std::wstring &name) const {
  const bool root = !m_folderFinalPath.empty() && m_folderFinalPath.back() == L'\\';
  const std::wstring expected = m_folderFinalPath + (root ? L"" : L"\\") + name;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.nNumberOfLinks == 1 &&
         CompareStringOrdinal(FinalPath(file).c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring CTextFile::ReadAllText() {
  m_read.reset();
  CHandle file;
  if (m_folder) {
    file = OpenIn(m_folder.Get(), m_name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, m_trusted);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
      (!m_trusted && !IsPlainFileHere(file.Get(), info, m_name))) {
    logging::LogCannotOpen(L"FileReadAllText", m_path.c_str());
    return {};
  }
  m_read.emplace(info);
  std::string bytes;
  ReadAll(file.Get(), bytes);  // a read error ends the text; what came before it is kept
  file.Close();
  std::wstring text;
  if (!DecodeTextFile(bytes, text)) {
    // A UTF-16 big-endian file is refused as if it could not be opened.
    logging::LogCannotOpen(L"FileReadAllText", m_path.c_str());
    return {};
  }
  return text;
}

// The file itself, opened as a writer would open it, so that a refusal is
// the system's own: read-only (5), held by a writer or by a reader that
// does not share writing (32), missing folder (3). Read access as well, to
// keep the original bytes. Created only when nothing was read: then the
// handle may delete it again.
CHandle CTextFile::OpenForWriting(bool &created) {
  created = false;
  if (!m_folder) {
    SetLastError(m_folderError);
    return CHandle();
  }
  CHandle file =
      OpenIn(m_folder.Get(), m_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN, m_trusted);
  if (!file && !m_read && GetLastError() == ERROR_FILE_NOT_FOUND) {
    file = OpenIn(m_folder.Get(), m_name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_CREATE,
                  false);
    created = static_cast<bool>(file);
    return file;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (file && (!GetFileInformationByHandle(file.Get(), &info) || (m_read && !(Identity(info) == *m_read)) ||
               (!m_trusted && !IsPlainFileHere(file.Get(), info, m_name)))) {
    file.Close();
    SetLastError(ERROR_UNTRUSTED_MOUNT_POINT);
  }
  return file;
}

// The original bytes beside the file, for a crash in the middle of the
// write. Written under a temporary name and renamed once flushed, so that a
// kill leaves no partial copy under the backup's name; the rename never
// replaces a copy already there (an earlier run's). The handle is kept, to
// remove the copy through it. Empty when it cannot be made, leaving
// nothing behind.
CHandle CTextFile::WriteBackup(const std::string &bytes) const {
  const std::wstring backupName = m_name + kBackupSuffix;
  const std::wstring incomplete = backupName + kIncompleteSuffix;
  // One left by a killed run holds nothing worth keeping. Anything else
  // under that name stays, and then no copy is made.
  if (const CHandle leftover =
          OpenIn(m_folder.Get(), incomplete, DELETE | FILE_READ_ATTRIBUTES,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, false)) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(leftover.Get(), &info) &&
        IsPlainFileHere(leftover.Get(), info, incomplete)) {
      DeleteOpen(leftover.Get());
    }
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return CHandle();
  }
  CHandle backup =
      OpenIn(m_folder.Get(), incomplete, GENERIC_WRITE | DELETE, 0, FILE_CREATE, false, descriptor);
  LocalFree(descriptor);
  if (!backup) {
    return backup;
  }
  if (WriteAll(backup.Get(), bytes) && FlushFileBuffers(backup.Get()) &&
      RenameIn(backup.Get(), m_folder.Get(), backupName)) {
    return backup;
  }
  DeleteOpen(backup.Get());
  return CHandle();
}

std::int32_t CTextFile::WriteAllText(std::wstring text) {
  m_intact = true;
  bool created = false;
  CHandle file = OpenForWriting(created);
  if (!file) {
    logging::LogCannotOpen(L"FileWriteAllText", m_path.c_str());
    return -1;
  }
  const std::string bytes = EncodeTextFile(text);
  std::wstring().swap(text);

  std::string original;
  if (!created && !ReadAll(file.Get(), original)) {
    return -1;  // nothing written: without the original there is no way back
  }
  const CHoldConsoleEvents hold;  // from the first byte written to the last
  const CHandle backup = created || !m_trusted ? CHandle() : WriteBackup(original);
  if (OverwriteWith(file.Get(), bytes)) {
    file.Close();  // the bytes are on disk: a failing close loses nothing
    if (backup) {
      DeleteOpen(backup.Get());
    }
    return 0;
  }
  const DWORD error = GetLastError();
  m_intact = created ? DeleteOpen(file.Get()) : OverwriteWith(file.Get(), original);
  if (m_intact && backup) {
    DeleteOpen(backup.Get());
  }
  // Should the original not go back, its copy stays beside the file.
  SetLastError(error);
  return -1;
}

std::wstring FileReadAllText(LPCWSTR path) {
  return CTextFile(path).ReadAllText();
}

std::int32_t FileWriteAllText(LPCWSTR path, std::wstring text) {
  return CTextFile(path).WriteAllText(std::move(text));
}
