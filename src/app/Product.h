// Fixed facts of the installed product; the tool reads no configuration.
#pragma once

#include <string>

constexpr wchar_t kInstallFolder[] = L"C:\\Program Files\\Norvane\\Norvane VPN";
constexpr wchar_t kUiProgram[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe";
constexpr wchar_t kSettingsFile[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\settings\\kvvpn.xml";

// The three places a run works with: the constants, or the same folders
// under the system's Program Files folder where Windows put that elsewhere.
struct ProductPaths {
  std::wstring installFolder = kInstallFolder;
  std::wstring uiProgram = kUiProgram;
  std::wstring settingsFile = kSettingsFile;
  bool operator==(const ProductPaths &other) const {
    return installFolder == other.installFolder && uiProgram == other.uiProgram &&
           settingsFile == other.settingsFile;
  }
};

// The constants wherever their installation folder exists, or where the
// system's Program Files folder is not known; otherwise the same folders
// under that folder.
ProductPaths ChooseProductPaths(bool constantFolderExists, const std::wstring &programFiles);

// Looks once, before the run's first step: whether the constant folder
// exists, and the system's own 64-bit Program Files folder (never the
// caller's %ProgramFiles%).
ProductPaths LocateProduct();
