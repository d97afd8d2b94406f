#define KV_WIN32_SHELL_FOLDERS
#include "app/Product.h"

#include "platform/Win32.h"

namespace {

// The constants' part below Program Files.
constexpr wchar_t kProgramFiles[] = L"C:\\Program Files";
constexpr std::size_t kProgramFilesLength = sizeof kProgramFiles / sizeof kProgramFiles[0] - 1;

std::wstring Under(const std::wstring &programFiles, const wchar_t *constant) {
  const bool root = !programFiles.empty() && programFiles.back() == L'\\';
  return programFiles.substr(0, programFiles.size() - (root ? 1 : 0)) + (constant + kProgramFilesLength);
}

}  // namespace

ProductPaths ChooseProductPaths(bool constantFolderExists, const std::wstring &programFiles) {
  ProductPaths paths;
  if (constantFolderExists || programFiles.empty()) {
    return paths;
  }
  paths.installFolder = Under(programFiles, kInstallFolder);
  paths.uiProgram = Under(programFiles, kUiProgram);
  paths.settingsFile = Under(programFiles, kSettingsFile);
  return paths;
}

ProductPaths LocateProduct() {
  const DWORD attributes = GetFileAttributesW(kInstallFolder);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  wchar_t folder[MAX_PATH] = {};
  std::wstring programFiles;
  if (!exists &&
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    programFiles = folder;
  }
  return ChooseProductPaths(exists, programFiles);
}
