// Owner of one kernel handle (file, process, thread). Both null and
// INVALID_HANDLE_VALUE count as empty, since the API uses either for "none".
#pragma once

#include "platform/Win32.h"

class CHandle {
 public:
  CHandle() = default;
  explicit CHandle(HANDLE handle) : m_handle(handle) {}
  ~CHandle() { Close(); }
  CHandle(const CHandle &) = delete;
  CHandle &operator=(const CHandle &) = delete;

  explicit operator bool() const { return IsValid(m_handle); }
  HANDLE Get() const { return m_handle; }

  // Closes and reports CloseHandle's answer; an empty owner closes successfully.
  bool Close() {
    if (!IsValid(m_handle)) {
      return true;
    }
    const BOOL closed = CloseHandle(m_handle);
    m_handle = nullptr;
    return closed != FALSE;
  }

  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_handle = nullptr;
};
