#include "file/TextFile.h"

#include "file/Utf8Codec.h"
#include "logging/LogDLL.h"
#include "platform/Handle.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr wchar_t kTempSuffix[] = L".kvmigrate-new";

// Fails with the error of the call that failed, after cleaning up; the
// cleanup itself must not replace that error.
std::int32_t FailWrite(DWORD error, CHandle &temp, const std::wstring &tempPath) {
  temp.Close();
  DeleteFileW(tempPath.c_str());
  SetLastError(error);
  return -1;
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

}  // namespace

std::wstring FileReadAllText(LPCWSTR path) {
  CHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
  if (!file) {
    logging::LogCannotOpen(L"FileReadAllText", path);
    return {};
  }
  std::string bytes;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    DWORD read = 0;
    // A read error ends the text; what came before it is kept.
    if (!ReadFile(file.Get(), chunk.data(), kReadChunk, &read, nullptr) || read == 0) {
      break;
    }
    bytes.append(chunk.data(), read);
  }
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
  // Ask for the target the way a writer would, so that a read-only file, a
  // file another process holds for writing or a missing folder is refused
  // with the system's own reason before anything is created.
  {
    CHandle target(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target && GetLastError() != ERROR_FILE_NOT_FOUND) {
      logging::LogCannotOpen(L"FileWriteAllText", path);
      return -1;
    }
  }

  const std::string bytes = EncodeTextFile(text);
  std::wstring().swap(text);

  const std::wstring tempPath = std::wstring(path) + kTempSuffix;
  CHandle temp(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
  if (!temp) {
    logging::LogCannotOpen(L"FileWriteAllText", path);
    return -1;  // nothing was created; the last error is the open's
  }
  if (!WriteAll(temp.Get(), bytes) || !FlushFileBuffers(temp.Get())) {
    return FailWrite(GetLastError(), temp, tempPath);
  }
  if (!temp.Close()) {
    return FailWrite(GetLastError(), temp, tempPath);
  }
  if (!MoveFileExW(tempPath.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return FailWrite(GetLastError(), temp, tempPath);
  }
  return 0;
}
