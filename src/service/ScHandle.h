// Owner of one service control manager handle (manager or service).
#pragma once

#include "platform/Win32.h"

class CScHandle {
 public:
  CScHandle() = default;
  ~CScHandle() { Close(); }
  CScHandle(const CScHandle &) = delete;
  CScHandle &operator=(const CScHandle &) = delete;

  // Takes the new handle after closing the one held.
  void Reset(SC_HANDLE handle) {
    Close();
    m_handle = handle;
  }

  // Harmless on an empty owner, so closing twice is fine.
  void Close() {
    if (m_handle != nullptr) {
      CloseServiceHandle(m_handle);
      m_handle = nullptr;
    }
  }

  SC_HANDLE Get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }

 private:
  SC_HANDLE m_handle = nullptr;
};
