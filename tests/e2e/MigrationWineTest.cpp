// The real KvMigrate.exe under Wine: the stub service installed as
// "kvvpnservice", the stub UI program and the settings file in the product's
// folder. The tool runs on this program's console with its output in a file;
// the closing key is typed into that console. Must run under a
// pseudo-terminal, or Wine gives the console no input queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ConsoleRun.h"
#include "StubServiceControl.h"
#include "app/Product.h"
#include "platform/Win32.h"
#include "service/ServiceControl.h"

namespace {

std::wstring g_tool;      // KvMigrate.exe
std::wstring g_service;   // the stub service program
std::wstring g_logCalls;  // where a loaded log.dll beside the tool would record its calls
HANDLE g_console = INVALID_HANDLE_VALUE;

const std::wstring kSettingsFolder = std::wstring(kInstallFolder) + L"\\settings";
const std::wstring kUiLog = std::wstring(kInstallFolder) + L"\\kvvpnuiapp.log";
const std::string kBom = "\xEF\xBB\xBF";

const std::string M2 = "Norvane Vpn service stopped successfully.\r\n";
const std::string M7 = "Norvane VPN has been already migrated.\r\n";
const std::string M8 = "kvvpn.xml file modified successfully.\r\n";
const std::string M11 = "Norvane Vpn service started successfully.\r\n";
const std::string M12 = e2e::kPrompt;

using e2e::ConsoleRun;
using e2e::Key;
using testfiles::ReadBytes;
using testfiles::WriteBytes;

// The settings file's backup, and its name while it is written.
const std::wstring kBackups[] = {std::wstring(kSettingsFile) + L".kvmigrate-backup",
                                 std::wstring(kSettingsFile) + L".kvmigrate-backup-incomplete"};

ConsoleRun RunTool(Key key, DWORD timeoutMs = 60000) {
  const std::wstring outputPath = testfiles::BesideProgram(g_service, L".tool-output");
  ConsoleRun run = e2e::RunProgram(g_tool, outputPath, g_console, key, timeoutMs,
                                   {std::begin(kBackups), std::end(kBackups)});
  DeleteFileW(outputPath.c_str());
  EXPECT_EQ("", run.error);
  return run;
}

// One launch as the stub UI program logged it (see StubUiApp.cpp).
struct UiLaunch {
  ULONGLONG tick;
  std::string commandLine;
  std::string folder;
  std::string profile;  // "USERPROFILE=..."
  std::string harness;  // "KV_TEST_LOG_CALLS=...", the harness's own variable
};

// The stub UI program's launches, oldest first; it may still be writing the
// last one, so wait (bounded) for the count that the test expects.
std::vector<UiLaunch> UiLaunches(std::size_t expected, const std::wstring &log) {
  std::vector<UiLaunch> launches;
  for (int attempt = 0; attempt < 100; ++attempt) {
    launches.clear();
    std::istringstream lines(ReadBytes(log));
    std::string line;
    while (std::getline(lines, line)) {
      std::vector<std::string> fields(1);
      for (const char c : line) {
        if (c == '\t') {
          fields.emplace_back();
        } else {
          fields.back().push_back(c);
        }
      }
      fields.resize(5);
      launches.push_back({std::stoull(fields[0]), fields[1], fields[2], fields[3], fields[4]});
    }
    if (launches.size() >= expected) {
      break;
    }
    Sleep(20);
  }
  return launches;
}

const std::string kServer = "caf\xC3\xA9 one";
// Long enough for its write to be caught under way.
const std::string kLongServer(40 << 20, 'x');

std::string Settings(const std::string &switchProvider, const std::string &server = "caf\xC3\xA9  one") {
  return kBom +
         "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
         "<kvvpn>\r\n"
         "\t<settings>\r\n"
         "\t\t<server>" +
         server +
         "</server>\r\n"
         "\t\t<switch_provider>" +
         switchProvider +
         "</switch_provider>\r\n"
         "\t\t<time_provider>17</time_provider>\r\n"
         "\t</settings>\r\n"
         "</kvvpn>\r\n";
}

std::string Migrated(const std::string &time, const std::string &server) {
  return kBom +
         "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
         "<kvvpn>\r\n"
         "    <settings>\r\n"
         "        <server>" +
         server +
         "</server>\r\n"
         "        <switch_provider>2</switch_provider>\r\n"
         "        <time_provider>" +
         time +
         "</time_provider>\r\n"
         "    </settings>\r\n"
         "</kvvpn>\r\n";
}

class MigrationWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(e2e::InstallStubService(g_service)) << GetLastError();
    ASSERT_TRUE(e2e::ForceStubStopped(g_service));
    e2e::ConfigureStub(g_service, "");
    e2e::ClearStubLog(g_service);
    DeleteFileW(kUiLog.c_str());
    SetFileAttributesW(kSettingsFile, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(kSettingsFile);
    for (const std::wstring &backup : kBackups) {
      DeleteFileW(backup.c_str());
    }
  }

  void TearDown() override {
    // The tool holds no reference to the log binding: a log.dll beside it
    // is never loaded, not even when a file cannot be opened.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(g_logCalls.c_str())) << ReadBytes(g_logCalls);
    DeleteFileW(g_logCalls.c_str());
    SetFileAttributesW(kSettingsFile, FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(e2e::ForceStubStopped(g_service));
  }

  void StartService() {
    bool cancel = false;
    ASSERT_EQ(0u, ServiceStart(cancel));
  }

  static DWORD ServiceState() { return e2e::StubStatus().dwCurrentState; }

  // "stop" first; then, when the service came back, the plain relaunch
  // after the start and its pause. Both as the session's user: in the
  // product's folder, with that user's environment, none of the harness's.
  // (Wine answers WTSQueryUserToken for any session with the caller's
  // token, so the tool launches as a session's user here.)
  std::vector<UiLaunch> ExpectLaunches(bool relaunched, const std::wstring &folder = kInstallFolder) {
    const auto launches = UiLaunches(relaunched ? 2 : 1, folder + L"\\kvvpnuiapp.log");
    EXPECT_EQ(relaunched ? 2u : 1u, launches.size());
    const std::string narrowFolder(folder.begin(), folder.end());
    for (const UiLaunch &launch : launches) {
      EXPECT_EQ(narrowFolder, launch.folder);
      EXPECT_EQ(0u, launch.profile.rfind("USERPROFILE=C:\\", 0)) << launch.profile;
      EXPECT_EQ("KV_TEST_LOG_CALLS=", launch.harness);
    }
    if (!launches.empty()) {
      EXPECT_EQ("\"" + narrowFolder + "\\kvvpnuiapp.exe\" stop", launches[0].commandLine);
    }
    if (relaunched && launches.size() == 2) {
      EXPECT_EQ(std::string::npos, launches[1].commandLine.find("stop")) << launches[1].commandLine;
      EXPECT_NE(std::string::npos, launches[1].commandLine.find("kvvpnuiapp.exe"));
      EXPECT_GE(launches[1].tick - launches[0].tick, 5000u);
      const std::string serviceLog = e2e::StubLog(g_service);
      EXPECT_NE(std::string::npos, serviceLog.find("args kvvpnservice")) << serviceLog;
    }
    return launches;
  }
};

// The time written into time_provider, checked to lie within the run.
void ExpectMigrated(long long before, long long after, const std::string &server,
                    const std::wstring &file = kSettingsFile) {
  const std::string written = ReadBytes(file);
  const std::string open = "<time_provider>";
  const auto at = written.find(open);
  ASSERT_NE(std::string::npos, at) << written.substr(0, 2000);
  const std::string time = written.substr(at + open.size(), written.find('<', at + 1) - at - open.size());
  EXPECT_TRUE(Migrated(time, server) == written) << written.substr(0, 2000);
  EXPECT_GE(std::stoll(time), before);
  EXPECT_LE(std::stoll(time), after);
}

// A host path as the host sees it, through Wine's own export.
std::string UnixPath(const std::wstring &path) {
  using ToUnix = char *(__cdecl *)(LPCWSTR);
  const auto toUnix =
      ProcAs<ToUnix>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  char *unix = toUnix ? toUnix(path.c_str()) : nullptr;
  const std::string result = unix ? unix : "";
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

// A command for what the test cannot do through the calls it tests. Under
// Wine, a host command: a Unix link, which Wine shows as a plain file, and
// which a delete or a rename through its name acts on its target, as an
// object manager's link does on Windows; a folder's Unix mode, from which
// Wine reads its access list. Wine gives no handle to wait on for a host
// program, so this waits (bounded) until what it does is seen. On Windows,
// the system's own command, waited for.
bool Command(const std::string &host, std::wstring windows, const std::function<bool()> &done) {
  const bool wine = testfiles::UnderWine();
  std::wstring line = wine ? L"Z:\\bin\\sh -c \"" + std::wstring(host.begin(), host.end()) + L"\"" : windows;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, wine ? 0 : CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    return false;
  }
  // For a host program Wine fills nothing in: hProcess is null and hThread
  // is whatever was there, so closing them would close another object's
  // handle (seen: the process's own key for HKEY_LOCAL_MACHINE). The pair is
  // owned only where it names a process.
  DWORD exitCode = 0;
  if (GetProcessId(info.hProcess) != 0) {
    const CHandle process(info.hProcess);
    const CHandle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), 30000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.Get(), &exitCode)) {
      exitCode = 1;
    }
  }
  for (int attempt = 0; wine && attempt < 500 && !done(); ++attempt) {
    Sleep(20);
  }
  return exitCode == 0 && done();
}

// A path quoted for a Windows command line.
std::wstring Quoted(const std::wstring &path) {
  return L"\"" + path + L"\"";
}

std::string SettingsIdentity() {
  return testfiles::FileIdentity(kSettingsFile);
}

TEST_F(MigrationWineTest, UpdatesWritesAndRestarts) {
  e2e::ConfigureStub(g_service, "start_delay=300\nstop_delay=200\n");
  StartService();
  WriteBytes(kSettingsFile, Settings("1"));
  const long long before = static_cast<long long>(std::time(nullptr));
  const ConsoleRun run = RunTool(Key::AtPrompt);
  const long long after = static_cast<long long>(std::time(nullptr));
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ(M2 + M8 + M11 + M12, run.output);
  ExpectMigrated(before, after, kServer);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
  EXPECT_NE(std::string::npos, e2e::StubLog(g_service).find("control stop"));
  const auto launches = ExpectLaunches(true);

  // Where the time goes: the tool's span from its first launch of the UI
  // program to the relaunch, against the fixed pauses and what the same
  // stop and start of the stub service cost on their own.
  if (launches.size() == 2) {
    bool cancel = false;
    const ULONGLONG serviceFrom = GetTickCount64();
    ASSERT_EQ(0u, ServiceStop(cancel));
    ASSERT_EQ(0u, ServiceStart(cancel));
    const ULONGLONG service = GetTickCount64() - serviceFrom;
    const ULONGLONG span = launches[1].tick - launches[0].tick;
    const long long own = static_cast<long long>(span) - 5000 - static_cast<long long>(service);
    std::printf(
        "timing: tool start %llu ms; span %llu ms = pauses 5000 + service stop and start %llu + tool %lld\n",
        launches[0].tick - run.startedAt, span, service, own);
    RecordProperty("tool_overhead_ms", static_cast<int>(own));
    EXPECT_LT(own, 1000);  // a loose bound: the two measurements differ by noise
  }
}

// How the service stands when the run begins.
enum class Service { Stopped, Running, Missing, Paused, RefusesStop, FailsStart, Disabled };

// What the settings file holds afterwards.
enum class File { Untouched, Migrated, Absent };

struct Row {
  const char *name;
  Service service;
  std::string file;  // the settings file's bytes; empty: no file
  DWORD attributes;  // set on the file first (0: none)
  DWORD heldShare;   // someone reads the file through the run, sharing this (0: nobody)
  Key key;
  std::string output;
  DWORD exitCode;
  File fileAfter;
  DWORD serviceAfter;
  bool relaunched;
  ULONGLONG promptAfterMs;       // the prompt comes at least this long after the start
  bool ends = true;              // by itself, or with the key typed
  DWORD boundMs = 60000;         // the run is ended here if it has not ended
  std::string server = kServer;  // as the migrated file shows it
  // A link planted at the backup's name (0) or its temporary name (1), to a
  // file outside the settings folder; -1: none.
  int linkAt = -1;
};

class MigrationRowTest : public MigrationWineTest, public ::testing::WithParamInterface<Row> {};

TEST_P(MigrationRowTest, RunsTheRow) {
  const Row &row = GetParam();
  switch (row.service) {
  case Service::Stopped:
    break;
  case Service::Running:
    StartService();
    break;
  case Service::Missing:
    ASSERT_TRUE(e2e::RemoveStubService());
    break;
  case Service::Paused:
    StartService();
    ASSERT_TRUE(e2e::ControlStub(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(e2e::WaitStubState(SERVICE_PAUSED));
    break;
  case Service::RefusesStop:
    e2e::ConfigureStub(g_service, "refuse_stop=1\n");
    StartService();
    break;
  case Service::FailsStart:
    StartService();
    e2e::ConfigureStub(g_service, "fail_start=1066\n");  // read by the next start
    break;
  case Service::Disabled:
    StartService();
    ASSERT_TRUE(e2e::SetStubStartType(SERVICE_DISABLED));
    break;
  }
  if (!row.file.empty()) {
    WriteBytes(kSettingsFile, row.file);
    if (row.attributes != 0) {
      ASSERT_TRUE(SetFileAttributesW(kSettingsFile, row.attributes));
    }
  }
  const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD attributes = GetFileAttributesW(kSettingsFile) & kept;
  const std::string identity = SettingsIdentity();
  const std::wstring outside = testfiles::BesideProgram(g_service, L".outside");
  if (row.linkAt >= 0) {
    WriteBytes(outside, "outside the settings folder");
    ASSERT_TRUE(Command("/bin/ln -s '" + UnixPath(outside) + "' '" + UnixPath(kBackups[row.linkAt]) + "'",
                        L"cmd.exe /c mklink " + Quoted(kBackups[row.linkAt]) + L" " + Quoted(outside), [&] {
                          return GetFileAttributesW(kBackups[row.linkAt].c_str()) != INVALID_FILE_ATTRIBUTES;
                        }));
  }
  CHandle reader;
  if (row.heldShare != 0) {
    reader.Reset(CreateFileW(kSettingsFile, GENERIC_READ, row.heldShare, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
  }
  const long long before = static_cast<long long>(std::time(nullptr));
  const ConsoleRun run = RunTool(row.key, row.boundMs);
  const long long after = static_cast<long long>(std::time(nullptr));
  reader.Close();
  ASSERT_EQ(row.ends, run.finished) << run.output;
  if (row.ends) {
    EXPECT_EQ(row.exitCode, run.exitCode);
  }
  EXPECT_EQ(row.output, run.output);
  EXPECT_GE(run.promptAt - run.startedAt, row.promptAfterMs);
  // Each message is in the output file as its step ends: M2 stays there
  // alone through the pause that follows it (seen where the output is
  // watched from the start).
  if (row.key != Key::CtrlCAtFile && row.output.rfind(M2, 0) == 0 && row.output != M2) {
    const auto alone = std::find_if(run.outputs.begin(), run.outputs.end(),
                                    [](const auto &output) { return output.second == M2; });
    ASSERT_NE(run.outputs.end(), alone);
    ASSERT_NE(run.outputs.end(), alone + 1);
    EXPECT_GE((alone + 1)->first - alone->first, 1500u);
  }
  // Unattended, it ends within its own pauses and a few seconds.
  if (row.key == Key::NoConsole || row.key == Key::NoWindow) {
    EXPECT_LT(run.endedAt - run.startedAt, 10000u);
  }
  switch (row.fileAfter) {
  case File::Untouched:
    EXPECT_EQ(row.file, ReadBytes(kSettingsFile));
    break;
  case File::Migrated:
    ExpectMigrated(before, after, row.server);
    break;
  case File::Absent:
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kSettingsFile));
    break;
  }
  // No backup is left, and the same file, attributes and all; a planted
  // link is left alone, and so is the file it leads to.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(i != row.linkAt, GetFileAttributesW(kBackups[i].c_str()) == INVALID_FILE_ATTRIBUTES);
  }
  if (row.linkAt >= 0) {
    EXPECT_EQ("outside the settings folder", ReadBytes(outside));
    EXPECT_TRUE(Command("/bin/rm -f '" + UnixPath(kBackups[row.linkAt]) + "' '" + UnixPath(outside) + "'",
                        L"cmd.exe /c del /f /q " + Quoted(kBackups[row.linkAt]) + L" " + Quoted(outside),
                        [&] { return GetFileAttributesW(outside.c_str()) == INVALID_FILE_ATTRIBUTES; }));
  }
  EXPECT_EQ(identity, SettingsIdentity());
  EXPECT_EQ(attributes, GetFileAttributesW(kSettingsFile) & kept);
  EXPECT_EQ(row.serviceAfter, ServiceState());
  ExpectLaunches(row.relaunched);
}

const std::string M3 = "Error at reading kvvpn.xml file.\r\n";
const std::string M9 = "Error at writing kvvpn.xml file ";
const std::string kBroken = kBom + "<kvvpn>\r\n<settings>\r\n</kvvpn>\r\n";
const std::string kRootless = kBom + "<?xml version=\"1.0\"?>\r\n<!-- nothing else -->\r\n";
const std::string kBare = kBom + "<kvvpn>\r\n    <other />\r\n</kvvpn>\r\n";
// How a run the Ctrl+C ended exits: Wine's default action gives 0.
const DWORD kInterrupted = testfiles::UnderWine() ? 0 : STATUS_CONTROL_C_EXIT;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, MigrationRowTest,
    ::testing::Values(
        Row{"StopFails", Service::Missing, Settings("1"), 0, 0, Key::AtPrompt,
            "Error 1060 at stopping Norvane Vpn service.\r\n" + M12, 10, File::Untouched, SERVICE_STOPPED,
            false, 0},
        // 2000 ms after the stop, 5000 more before the second read.
        Row{"TooShortTwice", Service::Stopped, "", 0, 0, Key::AtPrompt, M2 + M3 + M11 + M12, 11, File::Absent,
            SERVICE_RUNNING, true, 10000},
        Row{"ParseFails", Service::Stopped, kBroken, 0, 0, Key::AtPrompt,
            M2 + "Error at parsing kvvpn.xml file, Error reading end tag. at row 3.\r\n" + M11 + M12, 12,
            File::Untouched, SERVICE_RUNNING, true, 0},
        // Too deep for the XML library's recursion: refused, no crash.
        Row{"NestedTooDeeply", Service::Running, testfiles::DeeplyNestedSettings(1000000), 0, 0,
            Key::AtPrompt,
            M2 + "Error at parsing kvvpn.xml file, Error elements nested too deeply. at row 257.\r\n" + M11 +
                M12,
            12, File::Untouched, SERVICE_RUNNING, true, 0},
        // No prompt, and no key needed to end.
        Row{"NoRootElement", Service::Stopped, kRootless, 0, 0, Key::Never,
            M2 + "Error at getting root element from kvvpn.xml file.\r\n" + M11, 4, File::Untouched,
            SERVICE_RUNNING, true, 0},
        Row{"NoSettingsElement", Service::Running, kBare, 0, 0, Key::AtPrompt,
            M2 + "Error at getting settings element from kvvpn.xml file.\r\n" + M11 + M12, 13,
            File::Untouched, SERVICE_RUNNING, true, 0},
        // The key typed before the tool starts ends the wait at once.
        Row{"AlreadyMigratedStarts", Service::Running, Settings("2"), 0, 0, Key::BeforeStart,
            M2 + M7 + M11 + M12, 0, File::Untouched, SERVICE_RUNNING, true, 0},
        Row{"WriteFailsReadOnly", Service::Stopped, Settings("1"), FILE_ATTRIBUTE_READONLY, 0, Key::AtPrompt,
            M2 + M9 + "5.\r\n" + M11 + M12, 14, File::Untouched, SERVICE_RUNNING, true, 0},
        Row{"WriteFailsReaderNotSharingWrite", Service::Running, Settings("1"), 0, FILE_SHARE_READ,
            Key::AtPrompt, M2 + M9 + "32.\r\n" + M11 + M12, 14, File::Untouched, SERVICE_RUNNING, true, 0},
        // What fopen(path, "r") holds: reading, writing shared, deletion not.
        Row{"WrittenStartsReaderSharingWrite", Service::Running, Settings("1"), 0,
            FILE_SHARE_READ | FILE_SHARE_WRITE, Key::AtPrompt, M2 + M8 + M11 + M12, 0, File::Migrated,
            SERVICE_RUNNING, true, 0},
        Row{"WrittenStartsHiddenSystemFile", Service::Running, Settings("1"),
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0, Key::AtPrompt, M2 + M8 + M11 + M12, 0,
            File::Migrated, SERVICE_RUNNING, true, 0},
        Row{"StopRefused", Service::RefusesStop, Settings("1"), 0, 0, Key::AtPrompt,
            "Error 1052 at stopping Norvane Vpn service.\r\n" + M12, 10, File::Untouched, SERVICE_RUNNING,
            false, 0},
        Row{"PausedIsStoppedMigratedAndStarted", Service::Paused, Settings("1"), 0, 0, Key::AtPrompt,
            M2 + M8 + M11 + M12, 0, File::Migrated, SERVICE_RUNNING, true, 0},
        // Reports itself stopped while starting: the wait for running runs out.
        Row{"AlreadyMigratedStartFails", Service::FailsStart, Settings("2"), 0, 0, Key::AtPrompt,
            M2 + M7 + "Error 1460 at starting Norvane Vpn service.\r\n" + M12, 15, File::Untouched,
            SERVICE_STOPPED, false, 0},
        Row{"WrittenStartFails", Service::Disabled, Settings("1"), 0, 0, Key::AtPrompt,
            M2 + M8 + "Error 1058 at starting Norvane Vpn service.\r\n" + M12, 16, File::Migrated,
            SERVICE_STOPPED, false, 0},
        // As a deployment agent runs it: no console, input from NUL.
        Row{"UnattendedEndsByItself", Service::Running, Settings("1"), 0, 0, Key::NoConsole,
            M2 + M8 + M11 + M12, 0, File::Migrated, SERVICE_RUNNING, true, 0},
        // Started hidden, as wrappers start it: a console that no key reaches.
        Row{"HiddenEndsByItself", Service::Disabled, Settings("1"), 0, 0, Key::NoWindow,
            M2 + M8 + "Error 1058 at starting Norvane Vpn service.\r\n" + M12, 16, File::Migrated,
            SERVICE_STOPPED, false, 0},
        // Ctrl+C while the file and its backup are written, or in the pause
        // after the stop, waits for the run's prompt, then ends it: the file
        // is migrated, nothing is left, and the service runs again.
        Row{"CtrlCWhileWritingWaitsForThePrompt", Service::Running, Settings("1", kLongServer), 0, 0,
            Key::CtrlCAtFile, M2 + M8 + M11 + M12, kInterrupted, File::Migrated, SERVICE_RUNNING, true, 0,
            true, 60000, kLongServer},
        Row{"CtrlCAfterTheStopWaitsForThePrompt", Service::Running, Settings("1"), 0, 0, Key::CtrlCAtOutput,
            M2 + M8 + M11 + M12, kInterrupted, File::Migrated, SERVICE_RUNNING, true, 0},
        // Links planted where the backup is made: not followed, and the
        // file is migrated without a backup.
        Row{"LinkAtTheBackupsNameIsNotFollowed", Service::Running, Settings("1"), 0, 0, Key::AtPrompt,
            M2 + M8 + M11 + M12, 0, File::Migrated, SERVICE_RUNNING, true, 0, true, 60000, kServer, 0},
        Row{"LinkAtTheTemporaryNameIsNotFollowed", Service::Running, Settings("1"), 0, 0, Key::AtPrompt,
            M2 + M8 + M11 + M12, 0, File::Migrated, SERVICE_RUNNING, true, 0, true, 60000, kServer, 1},
        // With a console the wait is as before: still waiting at the bound.
        Row{"WaitsForTheKeyOnAConsole", Service::Missing, Settings("1"), 0, 0, Key::Never,
            "Error 1060 at stopping Norvane Vpn service.\r\n" + M12, 10, File::Untouched, SERVICE_STOPPED,
            false, 0, false, 8000}),
    [](const auto &info) { return std::string(info.param.name); });

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type key) { return key != nullptr; }
  static bool Close(Type key) { return RegCloseKey(key) == ERROR_SUCCESS; }
};
using CRegistryKey = CUniqueHandle<RegistryKeyTraits>;

// Program Files where Windows put it, on another drive, and ProgramFilesDir
// naming it. Under Wine, D: is a link in the prefix's dosdevices; on Windows
// it is the machine's own D:, and the folder gets the access list an
// administrator who moved Program Files there would give it. Sets the drive
// up for a row and puts everything back, whatever the row's end.
class ProgramFilesElsewhere {
 public:
  static constexpr wchar_t kFolder[] = L"D:\\Program Files\\Norvane\\Norvane VPN";

  explicit ProgramFilesElsewhere(bool keepConstant) {
    wchar_t prefix[MAX_PATH] = {};
    GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
    m_link = std::string(prefix, prefix + wcslen(prefix)) + "/dosdevices/d:";
    CreateDirectoryW(Drive().c_str(), nullptr);
    m_madeProgramFiles = CreateDirectoryW((Drive() + L"\\Program Files").c_str(), nullptr);
    for (const wchar_t *folder : {L"\\Program Files\\Norvane", L"\\Program Files\\Norvane\\Norvane VPN",
                                  L"\\Program Files\\Norvane\\Norvane VPN\\settings"}) {
      CreateDirectoryW((Drive() + folder).c_str(), nullptr);
    }
    ready =
        (kWine ? prefix[0] != L'\0' &&
                     Command("/bin/ln -sfn '" + UnixPath(kDrive) + "' '" + m_link + "'", L"",
                             [] { return GetFileAttributesW(L"D:\\") != INVALID_FILE_ATTRIBUTES; })
               : m_madeProgramFiles &&
                     Command("",
                             L"icacls.exe \"D:\\Program Files\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F "
                             L"*S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX",
                             [] { return true; })) &&
        CopyFileW(kUiProgram, (std::wstring(kFolder) + L"\\kvvpnuiapp.exe").c_str(), FALSE) &&
        GetProgramFiles(m_programFiles, sizeof m_programFiles) && SetProgramFiles(L"D:\\Program Files") &&
        (keepConstant || (m_moved = MoveFileW(kInstallFolder, kAway.c_str())));
  }

  ~ProgramFilesElsewhere() {
    if (m_moved) {
      EXPECT_TRUE(MoveFileW(kAway.c_str(), kInstallFolder));
    }
    if (m_programFiles[0] != L'\0') {
      EXPECT_TRUE(SetProgramFiles(m_programFiles));
    }
    // Only what the row made goes: a D:\Program Files of the machine's stays.
    const std::wstring made =
        Drive() + (m_madeProgramFiles ? L"\\Program Files" : L"\\Program Files\\Norvane");
    EXPECT_TRUE(Command("/bin/rm -rf '" + m_link + "' '" + UnixPath(kDrive) + "'",
                        L"cmd.exe /c rd /s /q " + Quoted(made), [&] {
                          return GetFileAttributesW(kWine ? kDrive.c_str() : made.c_str()) ==
                                 INVALID_FILE_ATTRIBUTES;
                        }));
  }

  bool ready = false;

 private:
  static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
  inline static const bool kWine = testfiles::UnderWine();
  inline static const std::wstring kDrive = L"C:\\kvdrive-d";
  inline static const std::wstring kAway = std::wstring(kInstallFolder) + L".away";

  static std::wstring Drive() { return kWine ? kDrive : L"D:"; }

  static CRegistryKey OpenKey(REGSAM access) {
    HKEY key = nullptr;
    return CRegistryKey(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, access, &key) == ERROR_SUCCESS ? key
                                                                                                  : nullptr);
  }
  static bool GetProgramFiles(wchar_t *folder, DWORD size) {
    const CRegistryKey key = OpenKey(KEY_QUERY_VALUE);
    return key && RegQueryValueExW(key.Get(), L"ProgramFilesDir", nullptr, nullptr,
                                   reinterpret_cast<BYTE *>(folder), &size) == ERROR_SUCCESS;
  }
  static bool SetProgramFiles(const wchar_t *folder) {
    const CRegistryKey key = OpenKey(KEY_SET_VALUE);
    return key &&
           RegSetValueExW(key.Get(), L"ProgramFilesDir", 0, REG_SZ, reinterpret_cast<const BYTE *>(folder),
                          static_cast<DWORD>((wcslen(folder) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

  std::string m_link;
  wchar_t m_programFiles[MAX_PATH] = {};
  bool m_madeProgramFiles = false;
  bool m_moved = false;
};

// The folder opened to everyone for a row (Everyone may modify it), and put
// back as it was when the guard ends: under Wine through its Unix mode,
// which Wine reads the folder's owner and access list from; on Windows
// through its access list.
class OpenToAll {
 public:
  explicit OpenToAll(std::wstring folder) : m_folder(std::move(folder)) {
    set = m_folder.empty() || Set("777", L"/grant *S-1-1-0:(OI)(CI)M");
  }
  ~OpenToAll() {
    if (!m_folder.empty()) {
      EXPECT_TRUE(Set("755", L"/remove:g *S-1-1-0"));
    }
  }
  bool set = false;

 private:
  bool Set(const char *mode, const std::wstring &grant) const {
    const std::wstring marker = testfiles::BesideProgram(g_service, L".mode");
    DeleteFileW(marker.c_str());
    return Command(
        "/bin/chmod " + std::string(mode) + " '" + UnixPath(m_folder) + "' && /bin/touch '" +
            UnixPath(marker) + "'",
        L"cmd.exe /c icacls " + Quoted(m_folder) + L" " + grant + L" && type nul > " + Quoted(marker),
        [&] { return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; });
  }
  std::wstring m_folder;
};

// Installed only there, the product is found through the system's folder
// and migrated, its UI program launched from there; installed in both
// places, the constant one wins and the other copy is not touched, unless
// anyone may change the constant one (a copy a user made where Windows
// keeps Program Files elsewhere): then the system's wins.
enum class Copy { None, Trusted, OpenToAll };

class ProgramFilesElsewhereTest : public MigrationWineTest, public ::testing::WithParamInterface<Copy> {};

TEST_P(ProgramFilesElsewhereTest, MigratesWhereTheToolLooks) {
  const Copy copy = GetParam();
  const std::wstring elsewhere = std::wstring(ProgramFilesElsewhere::kFolder) + L"\\settings\\kvvpn.xml";
  const ProgramFilesElsewhere drive(copy != Copy::None);
  ASSERT_TRUE(drive.ready) << GetLastError();
  WriteBytes(elsewhere, Settings("1"));
  if (copy != Copy::None) {
    WriteBytes(kSettingsFile, Settings("1"));
  }
  const OpenToAll open(copy == Copy::OpenToAll ? kInstallFolder : L"");
  ASSERT_TRUE(open.set);
  StartService();
  const long long before = static_cast<long long>(std::time(nullptr));
  const ConsoleRun run = RunTool(Key::AtPrompt);
  const long long after = static_cast<long long>(std::time(nullptr));
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ(M2 + M8 + M11 + M12, run.output);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
  if (copy == Copy::Trusted) {
    ExpectMigrated(before, after, kServer);
    ExpectLaunches(true);
    EXPECT_EQ(Settings("1"), ReadBytes(elsewhere));
    EXPECT_EQ("", ReadBytes(std::wstring(ProgramFilesElsewhere::kFolder) + L"\\kvvpnuiapp.log"));
  } else {
    ExpectMigrated(before, after, kServer, elsewhere);
    ExpectLaunches(true, ProgramFilesElsewhere::kFolder);
  }
  if (copy == Copy::None) {
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kInstallFolder));
  } else if (copy == Copy::OpenToAll) {
    EXPECT_EQ(Settings("1"), ReadBytes(kSettingsFile));
    EXPECT_EQ("", ReadBytes(kUiLog));
  }
}

INSTANTIATE_TEST_SUITE_P(Product, ProgramFilesElsewhereTest,
                         ::testing::Values(Copy::None, Copy::Trusted, Copy::OpenToAll), [](const auto &info) {
                           return info.param == Copy::None      ? "OnlyThere"
                                  : info.param == Copy::Trusted ? "InBothPlaces"
                                                                : "InBothPlacesTheConstantOneOpenToAll";
                         });

}  // namespace

int wmain(int argc, wchar_t **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: kv_migration_wine_tests KVMIGRATE_EXE STUB_SERVICE_EXE STUB_UI_EXE LOG_DLL\n");
    return 2;
  }
  // CMake on Windows names the programs with forward slashes.
  for (int i = 1; i < 5; ++i) {
    std::replace(argv[i], argv[i] + wcslen(argv[i]), L'/', L'\\');
  }
  g_tool = argv[1];
  g_service = argv[2];
  const CHandle console = e2e::OwnConsoleInput();
  g_console = console.Get();
  if (!console) {
    std::fprintf(stderr, "no console input: run under a pseudo-terminal\n");
    return 2;
  }
  CreateDirectoryW(L"C:\\Program Files\\Norvane", nullptr);
  CreateDirectoryW(kInstallFolder, nullptr);
  CreateDirectoryW(kSettingsFolder.c_str(), nullptr);
  if (!CopyFileW(argv[3], kUiProgram, FALSE)) {
    std::fprintf(stderr, "cannot place the stub UI program: %lu\n", GetLastError());
    return 2;
  }
  // A recording log.dll beside the tool; the tool inherits where it records.
  const std::wstring library = g_tool.substr(0, g_tool.rfind(L'\\')) + L"\\log.dll";
  g_logCalls = testfiles::BesideProgram(g_service, L".log-calls");
  DeleteFileW(g_logCalls.c_str());
  if (!CopyFileW(argv[4], library.c_str(), FALSE) ||
      !SetEnvironmentVariableW(L"KV_TEST_LOG_CALLS", g_logCalls.c_str())) {
    std::fprintf(stderr, "cannot place log.dll: %lu\n", GetLastError());
    return 2;
  }
  const int result = RUN_ALL_TESTS();
  DeleteFileW(library.c_str());
  e2e::ForceStubStopped(g_service);
  e2e::RemoveStubService();
  return result;
}
