#define KV_WIN32_SHELL_FOLDERS
#include "app/Product.h"

#include "file/FolderTrust.h"
#include "file/NativeOpen.h"
#include "platform/Win32.h"

namespace {

// The constants' part below Program Files.
constexpr wchar_t kProgramFiles[] = L"C:\\Program Files";
constexpr std::size_t kProgramFilesLength = sizeof kProgramFiles / sizeof kProgramFiles[0] - 1;
// The constants' parts below the installation folder.
constexpr std::size_t kInstallFolderLength = sizeof kInstallFolder / sizeof kInstallFolder[0] - 1;
constexpr const wchar_t *kUiProgramName = kUiProgram + kInstallFolderLength;
constexpr const wchar_t *kSettingsUnderInstall = kSettingsFile + kInstallFolderLength;

bool SameFolder(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Looked at through one handle on the folder, and one on each folder above.
ProductPlace LookAt(const std::wstring &folder) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  ProductPlace place{folder};
  const std::vector<std::wstring> steps = FoldersUpToTheRoot(folder);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const CHandle handle = OpenPath(steps[i], READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll);
    if (i == 0) {
      BY_HANDLE_FILE_INFORMATION info{};
      place.exists = handle && GetFileInformationByHandle(handle.Get(), &info) &&
                     (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      place.trusted = place.exists;
    }
    place.trusted = place.trusted && handle && HandleAdmitsOnlyTrusted(handle.Get());
    if (!place.trusted) {
      break;
    }
  }
  return place;
}

}  // namespace

std::vector<std::wstring> ProductFolders(const std::wstring &programFiles) {
  std::vector<std::wstring> folders{kInstallFolder};
  if (!programFiles.empty()) {
    const bool root = programFiles.back() == L'\\';
    const std::wstring under =
        programFiles.substr(0, programFiles.size() - (root ? 1 : 0)) + (kInstallFolder + kProgramFilesLength);
    if (!SameFolder(under, kInstallFolder)) {
      folders.push_back(under);
    }
  }
  return folders;
}

ProductPaths ChooseProductPaths(const std::vector<ProductPlace> &places) {
  const ProductPlace *chosen = nullptr;
  for (const ProductPlace &place : places) {
    if (place.exists && place.trusted) {
      chosen = &place;
      break;
    }
    if (place.exists && chosen == nullptr) {
      chosen = &place;
    }
  }
  ProductPaths paths;
  if (chosen != nullptr) {
    paths.installFolder = chosen->installFolder;
    paths.uiProgram = chosen->installFolder + kUiProgramName;
    paths.settingsFile = chosen->installFolder + kSettingsUnderInstall;
    paths.trusted = chosen->trusted;
  }
  return paths;
}

std::vector<std::wstring> FoldersUpToTheRoot(const std::wstring &folder) {
  std::vector<std::wstring> folders;
  for (std::wstring step = folder; !step.empty() && step.back() != L':';) {
    folders.push_back(step);
    const std::wstring::size_type slash = step.rfind(L'\\');
    step = slash == std::wstring::npos ? std::wstring() : step.substr(0, slash);
  }
  return folders;
}

ProductPaths LocateProduct() {
  std::vector<ProductPlace> places{LookAt(kInstallFolder)};
  wchar_t folder[MAX_PATH] = {};
  if (!(places[0].exists && places[0].trusted) &&
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    const std::vector<std::wstring> folders = ProductFolders(folder);
    for (std::size_t i = 1; i < folders.size(); ++i) {
      places.push_back(LookAt(folders[i]));
    }
  }
  return ChooseProductPaths(places);
}
