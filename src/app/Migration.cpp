#include "app/Migration.h"

#include <optional>
#include <string>

#include "app/Product.h"
#include "app/SettingsDocument.h"
#include "app/UiLaunch.h"
#include "file/TextFile.h"
#include "platform/Handle.h"
#include "platform/Win32.h"
#include "service/ServiceControl.h"

namespace {

constexpr DWORD kAfterStopMs = 2000;
constexpr DWORD kBeforeRetryMs = 5000;
constexpr DWORD kAfterStartMs = 3000;
constexpr DWORD kKeyPollMs = 10;
constexpr std::size_t kUsableTextLength = 10;

// Whether a key can ever reach the closing wait: the process has console
// input with a window, outside session 0, in a window station that someone
// sees. Run from a deployment agent (no console; a console made without a
// window, as hidden launchers make it; session 0, which no user sees since
// Vista; a service's invisible station) it cannot, and the run must end by
// itself. A pseudo-console's window is a hidden stand-in, so visibility is
// not asked of the window.
bool KeyCanCome() {
  CHandle input(CreateFileW(L"CONIN$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
  DWORD events = 0;
  if (!input || !GetNumberOfConsoleInputEvents(input.Get(), &events)) {
    return false;
  }
  DWORD session = 0;
  if (GetConsoleWindow() == nullptr || !ProcessIdToSessionId(GetCurrentProcessId(), &session) ||
      session == 0) {
    return false;
  }
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  const HWINSTA station = GetProcessWindowStation();
  return station != nullptr && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

std::wstring ReadSettings(CTextFile &settings) {
  std::wstring text = settings.ReadAllText();
  if (text.size() < kUsableTextLength) {
    Sleep(kBeforeRetryMs);
    text = settings.ReadAllText();
  }
  return text;
}

// M1 and M10: the code as a signed number.
void ReportServiceError(std::ostream &out, DWORD code, const char *doing) {
  out << "Error " << static_cast<long>(static_cast<LONG>(code)) << " at " << doing
      << " Norvane Vpn service.\n"
      << std::flush;
}

// Where the run ends, as its exit code. Deployment agents read nothing
// else, so every failure has a code of its own, and none that they take for
// success, a reboot or a retry (0, 1618, 1641, 3010, 1707). Every end but
// the missing root element goes through the prompt and the key wait.
enum class RunEnd : int {
  ServiceRunsAgain = 0,  // migrated, or already was, and started
  NoRootElement = 4,     // without the prompt
  StopFailed = 10,
  NotRead = 11,
  ParseFailed = 12,
  NoSettingsElement = 13,
  WriteFailed = 14,
  AlreadyMigratedStartFailed = 15,
  WrittenStartFailed = 16,
};

// What the settings step leaves: the run's end once the service runs
// again, and once it would not start; a file the service must not be
// started on (neither as it was nor migrated) ends the run as it is.
struct SettingsEnd {
  RunEnd started;
  RunEnd notStarted;
  bool startService = true;
};

SettingsEnd Failed(RunEnd end) {
  return {end, end};
}

// The settings file read, updated and written; each message is out before
// the next step begins.
SettingsEnd MigrateSettings(std::ostream &out, std::wostream &wideOut, const std::wstring &settingsFile) {
  // Its folder is held from the first read to the write: the file written
  // is the file read.
  CTextFile settings(settingsFile.c_str());
  const std::wstring text = ReadSettings(settings);
  if (text.size() < kUsableTextLength) {
    out << "Error at reading kvvpn.xml file.\n" << std::flush;
    return Failed(RunEnd::NotRead);
  }
  const SettingsUpdateResult result = UpdateSettingsDocument(text);
  switch (result.outcome) {
  case SettingsUpdateOutcome::ParseFailed:
    wideOut << L"Error at parsing kvvpn.xml file, " << result.errorDesc << L" at row " << result.errorRow
            << L".\n"
            << std::flush;
    return Failed(RunEnd::ParseFailed);
  case SettingsUpdateOutcome::NoRootElement:
    out << "Error at getting root element from kvvpn.xml file.\n" << std::flush;
    return Failed(RunEnd::NoRootElement);
  case SettingsUpdateOutcome::NoSettingsElement:
    out << "Error at getting settings element from kvvpn.xml file.\n" << std::flush;
    return Failed(RunEnd::NoSettingsElement);
  case SettingsUpdateOutcome::AlreadyMigrated:
    out << "Norvane VPN has been already migrated.\n" << std::flush;
    return {RunEnd::ServiceRunsAgain, RunEnd::AlreadyMigratedStartFailed};
  case SettingsUpdateOutcome::Updated:
    break;
  }
  if (!ReadsBackAsMigrated(result.text)) {
    // Never written: neither the product nor a second run could read it.
    SetLastError(ERROR_INVALID_DATA);
  } else if (settings.WriteAllText(result.text) == 0) {
    out << "kvvpn.xml file modified successfully.\n" << std::flush;
    return {RunEnd::ServiceRunsAgain, RunEnd::WrittenStartFailed};
  }
  out << "Error at writing kvvpn.xml file " << std::flush;
  out << static_cast<unsigned long>(GetLastError()) << ".\n" << std::flush;
  SettingsEnd failed = Failed(RunEnd::WriteFailed);
  failed.startService = settings.Intact();
  return failed;
}

// The service stop, the settings file and the service start. Whatever
// became of the settings, the service is started again as after a
// migration, unless the file was left neither as it was nor migrated.
RunEnd Migrate(std::ostream &out, std::wostream &wideOut, CUiLauncher &ui, const std::wstring &settingsFile) {
  const bool cancel = false;
  const DWORD stopped = ServiceStop(cancel);
  if (stopped != ERROR_SUCCESS) {
    ReportServiceError(out, stopped, "stopping");
    return RunEnd::StopFailed;
  }
  out << "Norvane Vpn service stopped successfully.\n" << std::flush;
  Sleep(kAfterStopMs);

  const SettingsEnd settings = MigrateSettings(out, wideOut, settingsFile);
  if (!settings.startService) {
    return settings.notStarted;
  }
  const DWORD started = ServiceStart(cancel);
  if (started != ERROR_SUCCESS) {
    ReportServiceError(out, started, "starting");
    return settings.notStarted;
  }
  out << "Norvane Vpn service started successfully.\n" << std::flush;
  Sleep(kAfterStartMs);
  ui.Relaunch();
  return settings.started;
}

}  // namespace

int RunMigration(std::ostream &out, std::wostream &wideOut) {
  RunEnd end = RunEnd::ServiceRunsAgain;
  std::optional<CHoldConsoleEvents> hold;
  {
    // What the launches need is let go before the closing wait.
    const ProductPaths product = LocateProduct();
    CUiLauncher ui(product);
    ui.Stop();
    // From the service's stop to the prompt, console control events wait:
    // cut short before the service's start, the run would leave the VPN
    // down.
    hold.emplace();
    end = Migrate(out, wideOut, ui, product.settingsFile);
  }
  if (end != RunEnd::NoRootElement) {
    out << "Press any key to close the window.\n" << std::flush;
    hold.reset();
    if (KeyCanCome()) {
      while (_kbhit() == 0) {
        Sleep(kKeyPollMs);
      }
    }
  }
  return static_cast<int>(end);
}
