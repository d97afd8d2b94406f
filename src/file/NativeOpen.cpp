#include "file/NativeOpen.h"

bool Succeeded(NTSTATUS status) {
  if (status >= 0) {
    return true;
  }
  SetLastError(RtlNtStatusToDosError(status));
  return false;
}

CHandle OpenNative(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) {
  UNICODE_STRING text{};
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, security);
  IO_STATUS_BLOCK io{};
  HANDLE file = nullptr;
  const NTSTATUS status = NtCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
      options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED, nullptr, 0);
  if (!Succeeded(status)) {
    return CHandle();
  }
  CHandle opened(file);
  // A file this open created is its own, whatever oplock of its folder's
  // the creation broke.
  if (status == STATUS_OPLOCK_BREAK_IN_PROGRESS && disposition == FILE_OPEN) {
    opened.Close();
    SetLastError(ERROR_OPLOCK_BREAK_IN_PROGRESS);
  }
  return opened;
}

CHandle OpenPath(const std::wstring &path, ACCESS_MASK access, ULONG share, ULONG options) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = size == 0 ? 0 : GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return CHandle();
  }
  full.resize(length);
  return OpenNative(nullptr, NtPathName(full), access, share, FILE_OPEN, options);
}

std::wstring NtPathName(const std::wstring &fullPath) {
  const bool prefixed = fullPath.rfind(L"\\\\?\\", 0) == 0 || fullPath.rfind(L"\\\\.\\", 0) == 0;
  if (prefixed) {
    return L"\\??\\" + fullPath.substr(4);
  }
  if (fullPath.rfind(L"\\\\", 0) == 0) {
    return L"\\??\\UNC\\" + fullPath.substr(2);
  }
  return L"\\??\\" + fullPath;
}
