// Owners of system handles: one template, with a traits class that names the
// handle type, its empty values and its close function. The owner closes its
// handle when it is replaced or destroyed; it can be moved, not copied.
#pragma once

#include "platform/Win32.h"

template <typename Traits>
class CUniqueHandle {
 public:
  using Type = typename Traits::Type;

  CUniqueHandle() = default;
  explicit CUniqueHandle(Type handle) : m_handle(handle) {}
  ~CUniqueHandle() { Close(); }
  CUniqueHandle(const CUniqueHandle &) = delete;
  CUniqueHandle &operator=(const CUniqueHandle &) = delete;
  CUniqueHandle(CUniqueHandle &&other) noexcept : m_handle(other.Release()) {}
  CUniqueHandle &operator=(CUniqueHandle &&other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }

  // Takes the new handle after closing the one held.
  void Reset(Type handle = Traits::Empty()) {
    Close();
    m_handle = handle;
  }

  // Closes and reports the close function's answer; an empty owner closes
  // successfully, so closing twice is harmless.
  bool Close() {
    if (!Traits::IsValid(m_handle)) {
      return true;
    }
    const bool closed = Traits::Close(m_handle);
    m_handle = Traits::Empty();
    return closed;
  }

  // Gives the handle up without closing it.
  Type Release() {
    const Type handle = m_handle;
    m_handle = Traits::Empty();
    return handle;
  }

  Type Get() const { return m_handle; }
  explicit operator bool() const { return Traits::IsValid(m_handle); }

 private:
  Type m_handle = Traits::Empty();
};

// Files, processes, threads, the console: the API answers either null or
// INVALID_HANDLE_VALUE for "none", so both count as empty.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static bool Close(Type handle) { return CloseHandle(handle) != FALSE; }
};

using CHandle = CUniqueHandle<KernelHandleTraits>;

// Libraries loaded by the program, freed once.
struct ModuleTraits {
  using Type = HMODULE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type module) { return module != nullptr; }
  static bool Close(Type module) { return FreeLibrary(module) != FALSE; }
};

using CModule = CUniqueHandle<ModuleTraits>;
