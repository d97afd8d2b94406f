#include "TestFiles.h"

#include <fstream>
#include <iterator>
#include <random>

#include "platform/Win32.h"
#ifndef _WIN32
#include "platform/standin/StandIn.h"
#endif

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
  std::ofstream out(m_folder / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TestFolder::Read(const std::wstring &name) const {
  std::ifstream in(m_folder / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

void TestFolder::MakeReadOnly(const std::wstring &name) const {
#ifdef _WIN32
  SetFileAttributesW(Path(name).c_str(), FILE_ATTRIBUTE_READONLY);
#else
  fs::permissions(m_folder / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#endif
}

WriterElsewhere::WriterElsewhere(const std::wstring &path) {
#ifdef _WIN32
  m_handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
  standin::HoldOpenForWriting(path);
#endif
}

WriterElsewhere::~WriterElsewhere() {
#ifdef _WIN32
  if (m_handle != INVALID_HANDLE_VALUE) {
    CloseHandle(m_handle);
  }
#endif
}
