#include "TestFiles.h"

#include <random>

#include "common/Files.h"

namespace fs = std::filesystem;

TestFolder::TestFolder() {
  std::random_device random;
  m_folder = fs::temp_directory_path() / ("kvtest-" + std::to_string(random()) + std::to_string(random()));
  fs::create_directories(m_folder);
}

TestFolder::~TestFolder() {
  std::error_code ignored;
  for (const auto &entry : fs::directory_iterator(m_folder, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_all, ignored);
  }
  fs::remove_all(m_folder, ignored);
}

std::wstring TestFolder::Path(const std::wstring &name) const {
  return (m_folder / name).wstring();
}

void TestFolder::Write(const std::wstring &name, const std::string &bytes) const {
  testfiles::WriteBytes(m_folder / name, bytes);
}

std::string TestFolder::Read(const std::wstring &name) const {
  return testfiles::ReadBytes(m_folder / name);
}

bool TestFolder::Exists(const std::wstring &name) const {
  return fs::exists(m_folder / name);
}

std::vector<std::wstring> TestFolder::Names() const {
  std::vector<std::wstring> names;
  for (const auto &entry : fs::directory_iterator(m_folder)) {
    names.push_back(entry.path().filename().wstring());
  }
  return names;
}

void TestFolder::SetAttributes(const std::wstring &name, DWORD attributes) const {
  SetFileAttributesW(Path(name).c_str(), attributes);
}

DWORD TestFolder::Attributes(const std::wstring &name) const {
  return GetFileAttributesW(Path(name).c_str());
}

std::string TestFolder::Identity(const std::wstring &name) const {
  return testfiles::FileIdentity(Path(name));
}

HeldOpen::HeldOpen(const std::wstring &path, DWORD access, DWORD share)
    : m_handle(
          CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
