// File helpers shared by the tests, their harnesses and stub programs.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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

}  // namespace testfiles
