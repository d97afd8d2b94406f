// Fixed facts of the installed product; the tool reads no configuration.
#pragma once

constexpr wchar_t kInstallFolder[] = L"C:\\Program Files\\Norvane\\Norvane VPN";
constexpr wchar_t kUiProgram[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe";
constexpr wchar_t kSettingsFile[] = L"C:\\Program Files\\Norvane\\Norvane VPN\\settings\\kvvpn.xml";
