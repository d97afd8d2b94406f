#include "file/TextFile.h"

#include "file/Utf8Codec.h"
#include "logging/LogDLL.h"
#include "platform/Handle.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr wchar_t kBackupSuffix[] = L".kvmigrate-backup";

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
// write; open to no one the original is not open to. Made only where no
// file of that name exists, so an earlier run's copy is never overwritten.
// False when it cannot be made, leaving nothing behind.
bool WriteBackup(HANDLE original, const std::wstring &backupPath, const std::string &bytes) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(original, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  CHandle backup(CreateFileW(backupPath.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  LocalFree(descriptor);
  if (!backup) {
    return false;
  }
  if (WriteAll(backup.Get(), bytes) && FlushFileBuffers(backup.Get()) && backup.Close()) {
    return true;
  }
  backup.Close();
  DeleteFileW(backupPath.c_str());
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
  const bool backedUp = !created && WriteBackup(file.Get(), backupPath, original);
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
