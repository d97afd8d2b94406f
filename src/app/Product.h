// Fixed facts of the installed product; the tool reads no configuration.
#pragma once

#include <string>
#include <vector>

constexpr wchar_t kInstallFolder[] = L"C:\\Program Files\\Norvane\\Norvane VPN";
constexpr wchar_t kUiProgram[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe";
constexpr wchar_t kSettingsFile[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\settings\\kvvpn.xml";

// The three places a run works with: the constants, or the same folders
// under the system's Program Files folder where Windows put that elsewhere;
// and whether the installation folder and every folder above it, the
// drive's root aside, admit only trusted writers (FolderTrust.h).
struct ProductPaths {
  std::wstring installFolder = kInstallFolder;
  std::wstring uiProgram = kUiProgram;
  std::wstring settingsFile = kSettingsFile;
  bool trusted = false;
  bool operator==(const ProductPaths &other) const {
    return installFolder == other.installFolder && uiProgram == other.uiProgram &&
           settingsFile == other.settingsFile && trusted == other.trusted;
  }
};

// An installation folder as it was looked at.
struct ProductPlace {
  std::wstring installFolder;
  bool exists = false;
  bool trusted = false;
};

// The installation folders to look at, in order: the constant one, then
// the same folder under the system's Program Files folder, where that is
// known and is another folder.
std::vector<std::wstring> ProductFolders(const std::wstring &programFiles);

// The first place that exists and is trusted; where none is trusted, the
// first that exists; where none exists, the constants. A standard user may
// make a folder where one is missing (C:\Program Files, where Windows keeps
// it elsewhere), but cannot make it trusted.
ProductPaths ChooseProductPaths(const std::vector<ProductPlace> &places);

// The folder and those above it that count for its trust: up to the
// drive's root, the root itself aside.
std::vector<std::wstring> FoldersUpToTheRoot(const std::wstring &folder);

// Looks once, before the run's first step, through a handle on each folder:
// the constant folder, and where that is not both there and trusted, the
// same under the system's own 64-bit Program Files folder (never the
// caller's %ProgramFiles%).
ProductPaths LocateProduct();
