// A scratch folder per test, with raw byte access for checking file formats.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

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

  // The system's read-only attribute (on the host: no write bits).
  void MakeReadOnly(const std::wstring &name) const;

 private:
  std::filesystem::path m_folder;
};

// Holds a file open for writing as another process would, for the life of
// the object.
class WriterElsewhere {
 public:
  explicit WriterElsewhere(const std::wstring &path);
  ~WriterElsewhere();
  WriterElsewhere(const WriterElsewhere &) = delete;
  WriterElsewhere &operator=(const WriterElsewhere &) = delete;

 private:
  void *m_handle = nullptr;
};
