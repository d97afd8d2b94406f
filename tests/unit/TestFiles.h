// A scratch folder per test, with raw byte access for checking file formats.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Win32.h"

class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder &) = delete;
  TestFolder &operator=(const TestFolder &) = delete;

  std::wstring Path(const std::wstring &name) const;
  void Write(const std::wstring &name, const std::string &bytes) const;
  std::string Read(const std::wstring &name) const;
  bool Exists(const std::wstring &name) const;
  std::vector<std::wstring> Names() const;

  // The system's file attributes (read-only, hidden, system).
  void SetAttributes(const std::wstring &name, DWORD attributes) const;
  DWORD Attributes(const std::wstring &name) const;
  void MakeReadOnly(const std::wstring &name) const { SetAttributes(name, FILE_ATTRIBUTE_READONLY); }

  // Volume serial and file index: the file's identity.
  std::string Identity(const std::wstring &name) const;

 private:
  std::filesystem::path m_folder;
};

// Holds a file open as another process would, for the life of the object.
class HeldOpen {
 public:
  HeldOpen(const std::wstring &path, DWORD access, DWORD share);

  bool IsOpen() const { return static_cast<bool>(m_handle); }
  HANDLE Handle() const { return m_handle.Get(); }

 private:
  CHandle m_handle;
};
