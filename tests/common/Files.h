// File helpers shared by the tests, their harnesses and stub programs.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Handle.h"
#include "platform/Win32.h"

namespace testfiles {

inline std::string ReadBytes(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A file kept beside a program: "C:\dir\stub.exe" with ".log" gives
// "C:\dir\stub.log".
inline std::wstring BesideProgram(const std::wstring &program, const wchar_t *suffix) {
  return program.substr(0, program.rfind(L'.')) + suffix;
}

// The file's identity, volume serial and file index ("none" when it cannot
// be opened): the same before and after a write means the same file.
inline std::string FileIdentity(const std::wstring &path) {
  const CHandle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.Get(), &info)) {
    return "none";
  }
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
         std::to_string(info.nFileIndexLow);
}

// A settings file whose elements nest 'levels' deep inside settings, one
// start tag a row, none of them closed.
inline std::string DeeplyNestedSettings(int levels) {
  std::string text = "\xEF\xBB\xBF<kvvpn>\r\n<settings>\r\n";
  for (int i = 0; i < levels; ++i) {
    text += "<a>\r\n";
  }
  return text + "</settings></kvvpn>\r\n";
}

#ifdef _WIN32
// Whether the tests run under Wine, whose ntdll names itself, rather than on
// Windows: where they reach the prefix from the host, Windows itself does.
inline bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#endif

}  // namespace testfiles
