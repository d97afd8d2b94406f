// The migration run against the stand-in: console bytes in order, exit
// code, pauses, launches of the UI program and the settings file afterwards.
#include "app/Migration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <random>

#include "StandIn.h"
#include "common/Files.h"

namespace {

namespace fs = std::filesystem;

// Both console streams append to one byte string, as they share stdout; the
// wide one's texts are ASCII. The call log shows "put" where a message
// begins and "flush" where the stream is flushed, so a test can see that
// each message is out before the next call.
template <typename Char>
class ToBytes : public std::basic_streambuf<Char> {
 public:
  explicit ToBytes(std::string &bytes) : m_bytes(bytes) {}

 protected:
  using Traits = typename std::basic_streambuf<Char>::traits_type;
  typename Traits::int_type overflow(typename Traits::int_type c) override {
    if (c != Traits::eof()) {
      if (!m_pending) {
        standin::Record("put");
        m_pending = true;
      }
      m_bytes += static_cast<char>(c);
    }
    return Traits::not_eof(c);
  }
  int sync() override {
    if (m_pending) {
      standin::Record("flush");
      m_pending = false;
    }
    return 0;
  }

 private:
  std::string &m_bytes;
  bool m_pending = false;
};

const std::string kUi = "C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe";
const std::string kInstall = "\"C:\\Program Files\\Norvane\\Norvane VPN\"";
// With the tool's own token, in the product's folder.
const std::string kStopLaunch =
    "CreateProcessW(\"" + kUi + "\",\"\"" + kUi + "\" stop\",0,0," + kInstall + ",plain)";
const std::string kRelaunch = "CreateProcessW(\"" + kUi + "\",null,0,0," + kInstall + ",plain)";

const std::string M2 = "Norvane Vpn service stopped successfully.\n";
const std::string M11 = "Norvane Vpn service started successfully.\n";
const std::string M12 = "Press any key to close the window.\n";
const std::string kValid =
    "\xEF\xBB\xBF<kvvpn>\r\n  <settings>\r\n    <switch_provider>1</switch_provider>\r\n"
    "  </settings>\r\n</kvvpn>\r\n";
const std::string kMigrated = "<kvvpn><settings><switch_provider>2</switch_provider></settings></kvvpn>\r\n";

// Where the closing key would come from: a console someone sees; none; an
// invisible window station; a console without a window; session 0.
enum class Console { Seen, None, Unseen, NoWindow, SessionZero };

struct Row {
  const char *name;
  bool serviceExists;
  DWORD startError;
  std::string file;  // empty: no settings file
  bool readOnly;
  std::string console;
  int exitCode;
  std::vector<std::string> launches;
  bool rewritten;
  std::vector<std::string> pauses;  // before the key wait
  DWORD serviceAfter;
  Console keySource = Console::Seen;
  bool oplocked = false;  // another process holds an oplock on the file, never letting go
};

const std::vector<std::string> kPolls = {"_kbhit()->0", "Sleep(10)", "_kbhit()->0", "Sleep(10)",
                                         "_kbhit()->0", "Sleep(10)", "_kbhit()->1"};

class MigrationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::Reset();
    std::random_device random;
    root = fs::temp_directory_path() / ("kvmig-" + std::to_string(random()));
    settings = root / "Program Files/Norvane/Norvane VPN/settings/kvvpn.xml";
    fs::create_directories(settings.parent_path());
    standin::SetDriveRoot(root.string());
    // At the tool's own user's desktop, with an elevated shell (UAC off):
    // the launches are made with the tool's own token.
    standin::IdentityScript identity;
    identity.shellUser = standin::kOwnUser;
    identity.shellElevated = true;
    standin::SetIdentity(identity);
    // The product's UI program, which only administrators may change.
    const fs::path program = settings.parent_path().parent_path() / "kvvpnuiapp.exe";
    testfiles::WriteBytes(program, "MZ");
    standin::SetFileDacl(program.wstring(), "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(settings, fs::perms::owner_all, ignored);
    fs::remove_all(root, ignored);
  }

  std::string FileBytes() { return testfiles::ReadBytes(settings); }

  int Run() {
    ToBytes<char> narrow(console);
    ToBytes<wchar_t> wide(console);
    std::ostream out(&narrow);
    std::wostream wideOut(&wide);
    return RunMigration(out, wideOut);
  }

  std::vector<std::string> Calls(const std::string &prefix) {
    std::vector<std::string> found;
    for (const auto &line : standin::Calls()) {
      if (line.rfind(prefix, 0) == 0) {
        found.push_back(line);
      }
    }
    return found;
  }

  fs::path root;
  fs::path settings;
  std::string console;
};

class MigrationTest : public MigrationRun, public ::testing::WithParamInterface<Row> {};

TEST_P(MigrationTest, RunsTheRow) {
  const Row &row = GetParam();
  standin::ServiceScript service;
  service.exists = row.serviceExists;
  service.state = SERVICE_RUNNING;
  service.startError = row.startError;
  standin::SetService(service);
  standin::LaunchScript launch;
  launch.keyAfterPolls = 3;
  launch.consoleInput = row.keySource != Console::None;
  launch.visibleStation = row.keySource != Console::Unseen;
  launch.consoleWindow = row.keySource != Console::NoWindow;
  launch.sessionId = row.keySource == Console::SessionZero ? 0 : 1;
  standin::SetLaunch(launch);
  if (!row.file.empty()) {
    testfiles::WriteBytes(settings, row.file);
    if (row.readOnly) {
      fs::permissions(settings, fs::perms::owner_read);
    }
    if (row.oplocked) {
      standin::SetOplock(L"C:\\Program Files\\Norvane\\Norvane VPN\\settings\\kvvpn.xml");
    }
  }
  EXPECT_EQ(row.exitCode, Run());
  EXPECT_EQ(row.console, console);
  EXPECT_EQ(row.launches, Calls("CreateProcessW"));
  if (row.rewritten) {
    const std::string now = FileBytes();
    EXPECT_EQ(
        0u, now.rfind("\xEF\xBB\xBF<kvvpn>\r\n    <settings>\r\n        <switch_provider>2</switch_provider>",
                      0));
    EXPECT_NE(std::string::npos, now.find("<time_provider>"));
  } else if (!row.file.empty()) {
    EXPECT_EQ(row.file, FileBytes());
  }
  EXPECT_EQ(row.serviceAfter, standin::ServiceState());
  EXPECT_EQ(0u, standin::OpenHandleCount());  // the launches' handles too
  // The pauses of the run, then, where a key can come, polls 10 ms apart
  // until it comes: the key wait is the run's last step.
  const auto &calls = standin::Calls();
  const auto wait = std::find(calls.begin(), calls.end(), "_kbhit()->0");
  const bool waits = row.exitCode != 4 && row.keySource == Console::Seen;
  EXPECT_EQ(waits ? kPolls : std::vector<std::string>{}, std::vector<std::string>(wait, calls.end()));
  std::vector<std::string> pauses;
  std::copy_if(calls.begin(), wait, std::back_inserter(pauses),
               [](const std::string &call) { return call.rfind("Sleep(", 0) == 0; });
  EXPECT_EQ(row.pauses, pauses);
  // Each message is flushed before the next call.
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == "put") {
      EXPECT_TRUE(i + 1 < calls.size() && calls[i + 1] == "flush") << "message " << i << " not flushed";
    }
  }
  // The run holds no log reference: the library is never even looked for.
  EXPECT_EQ(std::vector<std::string>{}, Calls("GetModuleHandleExW"));
  for (const std::string &load : Calls("LoadLibrary")) {
    EXPECT_EQ(std::string::npos, load.find("log.dll")) << load;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, MigrationTest,
    ::testing::Values(
        // The service is left as the failed stop left it.
        Row{"StopFails",
            false,
            0,
            kValid,
            false,
            "Error 1060 at stopping Norvane Vpn service.\n" + M12,
            10,
            {kStopLaunch},
            false,
            {},
            SERVICE_RUNNING},
        Row{"TooShortTwice",
            true,
            0,
            "<r/>\r\n",
            false,
            M2 + "Error at reading kvvpn.xml file.\n" + M11 + M12,
            11,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(5000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"Missing",
            true,
            0,
            "",
            false,
            M2 + "Error at reading kvvpn.xml file.\n" + M11 + M12,
            11,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(5000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"ParseFails",
            true,
            0,
            "<r>\r\n<settings>\r\n</r>\r\n",
            false,
            M2 + "Error at parsing kvvpn.xml file, Error reading end tag. at row 3.\n" + M11 + M12,
            12,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"NoRoot",
            true,
            0,
            "<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n",
            false,
            M2 + "Error at getting root element from kvvpn.xml file.\n" + M11,
            4,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"NoSettings",
            true,
            0,
            "<r><other/></r>\r\n",
            false,
            M2 + "Error at getting settings element from kvvpn.xml file.\n" + M11 + M12,
            13,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        // Too deep for the XML library: refused as not parsing, no crash.
        Row{"NestedTooDeeply",
            true,
            0,
            testfiles::DeeplyNestedSettings(100000),
            false,
            M2 + "Error at parsing kvvpn.xml file, Error elements nested too deeply. at row 257.\n" + M11 +
                M12,
            12,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"AlreadyMigratedStarts",
            true,
            0,
            kMigrated,
            false,
            M2 + "Norvane VPN has been already migrated.\n" + M11 + M12,
            0,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"AlreadyMigratedStartFails",
            true,
            ERROR_ACCESS_DENIED,
            kMigrated,
            false,
            M2 + "Norvane VPN has been already migrated.\nError 5 at starting Norvane Vpn service.\n" + M12,
            15,
            {kStopLaunch},
            false,
            {"Sleep(2000)"},
            SERVICE_STOPPED},
        Row{"WriteFails",
            true,
            0,
            kValid,
            true,
            M2 + "Error at writing kvvpn.xml file 5.\n" + M11 + M12,
            14,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        // Its opens do not wait for the oplock: the read fails twice.
        Row{"OplockedIsNotRead",
            true,
            0,
            kValid,
            false,
            M2 + "Error at reading kvvpn.xml file.\n" + M11 + M12,
            11,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(5000)", "Sleep(3000)"},
            SERVICE_RUNNING,
            Console::Seen,
            true},
        Row{"WouldNotReadBack",
            true,
            0,
            "<?xml version=\"1.0\" encoding=\"&#x1A;\"?>\r\n<r><settings/></r>\r\n",
            false,
            M2 + "Error at writing kvvpn.xml file 13.\n" + M11 + M12,
            14,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"WrittenStarts",
            true,
            0,
            kValid,
            false,
            M2 + "kvvpn.xml file modified successfully.\n" + M11 + M12,
            0,
            {kStopLaunch, kRelaunch},
            true,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING},
        Row{"WrittenStartFails",
            true,
            ERROR_ACCESS_DENIED,
            kValid,
            false,
            M2 + "kvvpn.xml file modified successfully.\nError 5 at starting Norvane Vpn service.\n" + M12,
            16,
            {kStopLaunch},
            true,
            {"Sleep(2000)"},
            SERVICE_STOPPED},
        Row{"NoConsoleEndsAtThePrompt",
            true,
            0,
            kValid,
            false,
            M2 + "kvvpn.xml file modified successfully.\n" + M11 + M12,
            0,
            {kStopLaunch, kRelaunch},
            true,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING,
            Console::None},
        Row{"UnseenStationEndsAtThePrompt",
            true,
            0,
            kMigrated,
            false,
            M2 + "Norvane VPN has been already migrated.\n" + M11 + M12,
            0,
            {kStopLaunch, kRelaunch},
            false,
            {"Sleep(2000)", "Sleep(3000)"},
            SERVICE_RUNNING,
            Console::Unseen},
        Row{"NoConsoleWindowEndsAtThePrompt",
            true,
            ERROR_ACCESS_DENIED,
            kValid,
            false,
            M2 + "kvvpn.xml file modified successfully.\nError 5 at starting Norvane Vpn service.\n" + M12,
            16,
            {kStopLaunch},
            true,
            {"Sleep(2000)"},
            SERVICE_STOPPED,
            Console::NoWindow},
        Row{"SessionZeroEndsAtThePrompt",
            false,
            0,
            kValid,
            false,
            "Error 1060 at stopping Norvane Vpn service.\n" + M12,
            10,
            {kStopLaunch},
            false,
            {},
            SERVICE_RUNNING,
            Console::SessionZero}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MigrationTest, PausesAndRetryAreInOrder) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  // The first read finds 9 characters; the file is complete by the second.
  testfiles::WriteBytes(settings, "<r></r>\r\n\r\n");
  standin::OnSleep([this](int) {
    if (standin::Now() >= 2000) {
      testfiles::WriteBytes(settings, kValid);
    }
  });
  EXPECT_EQ(0, Run());
  EXPECT_EQ(M2 + "kvvpn.xml file modified successfully.\n" + M11 + M12, console);
  const std::vector<std::string> sleeps = Calls("Sleep(");
  const std::vector<std::string> expected = {"Sleep(2000)", "Sleep(5000)", "Sleep(3000)"};
  EXPECT_EQ(expected, sleeps);
}

// Another file put in the settings file's place as it is about to be
// written is not written: the run ends as a failed write.
TEST_F(MigrationTest, FileSwappedBeforeTheWriteIsNotWritten) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  testfiles::WriteBytes(settings, kValid);
  standin::OnCall([this](const std::string &line) {
    if (line.find("\"kvvpn.xml\",0xc0100000") != std::string::npos) {
      testfiles::WriteBytes(root / "other", "swapped in");
      fs::rename(root / "other", settings);
    }
  });
  EXPECT_EQ(14, Run());
  EXPECT_EQ(M2 + "Error at writing kvvpn.xml file 448.\n" + M11 + M12, console);
  EXPECT_EQ("swapped in", FileBytes());
}

// A write that fails midway and cannot put the original back leaves a
// file the service must not run on: it is not started.
TEST_F(MigrationTest, FileLeftDamagedKeepsTheServiceStopped) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  testfiles::WriteBytes(settings, kValid);
  standin::FileFaults faults;
  faults.failWrites = {2, 3};  // the copy beside it is write 1; the new text 2; putting back 3
  standin::SetFileFaults(faults);
  EXPECT_EQ(14, Run());
  EXPECT_EQ(M2 + "Error at writing kvvpn.xml file 1117.\n" + M12, console);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), standin::ServiceState());
  EXPECT_EQ(std::vector<std::string>{kStopLaunch}, Calls("CreateProcessW"));
}

// An oplock on the UI program that its holder never lets go: no launch
// waits for it (a launch's own open would), none is made, the run goes on.
TEST_F(MigrationTest, OplockedProgramIsNotLaunched) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  standin::SetIdentity({false, {}, {}, "bob", false, 0});
  testfiles::WriteBytes(settings, kMigrated);
  standin::SetOplock(L"C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe");
  EXPECT_EQ(0, Run());
  EXPECT_EQ(M2 + "Norvane VPN has been already migrated.\n" + M11 + M12, console);
  EXPECT_EQ(std::vector<std::string>{}, Calls("CreateProcess"));
  EXPECT_EQ(std::vector<std::string>{}, Calls("waits"));
}

TEST_F(MigrationTest, KeyAlreadyWaitingEndsAtTheFirstTest) {
  standin::ServiceScript service;
  service.exists = false;
  standin::SetService(service);
  EXPECT_EQ(10, Run());
  EXPECT_EQ(std::vector<std::string>{"_kbhit()->1"}, Calls("_kbhit"));
  EXPECT_TRUE(Calls("Sleep(").empty());
}

TEST_F(MigrationTest, FailedLaunchesChangeNothing) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  standin::LaunchScript launch;
  launch.createProcessError = ERROR_FILE_NOT_FOUND;
  standin::SetLaunch(launch);
  testfiles::WriteBytes(settings, kMigrated);
  EXPECT_EQ(0, Run());
  EXPECT_EQ(M2 + "Norvane VPN has been already migrated.\n" + M11 + M12, console);
  EXPECT_EQ(2u, Calls("CreateProcessW").size());
  EXPECT_EQ(0u, standin::OpenHandleCount());
}

// Who the UI program comes back to: launched as each session's user by
// SYSTEM, as the shell's user by an administrator, as before where that
// fails; never into session 0 or as SYSTEM. The run is the same.
struct IdentityRow {
  const char *name;
  DWORD session;
  standin::IdentityScript identity;
  std::vector<std::string> launches;
};

class UiIdentityTest : public MigrationRun, public ::testing::WithParamInterface<IdentityRow> {};

const std::wstring kUiPath = L"C:\\Program Files\\Norvane\\Norvane VPN\\kvvpnuiapp.exe";

std::string Arguments(bool stop) {
  return stop ? "\"\"" + kUi + "\" stop\"" : "null";
}

std::string AsUser(const std::string &user, DWORD session, bool stop, bool breakaway = true) {
  return "CreateProcessAsUserW(" + user + "," + kInstall + "," + Arguments(stop) + "," +
         std::to_string(session) + ",\"winsta0\\default\"," + (breakaway ? "0x1000400" : "0x400") +
         ",env=" + user + ")";
}

std::string WithToken(const std::string &user, bool stop) {
  return "CreateProcessWithTokenW(" + user + "," + kInstall + "," + Arguments(stop) + ")";
}

TEST_P(UiIdentityTest, LaunchesAsTheRowSays) {
  standin::ServiceScript service;
  service.state = SERVICE_RUNNING;
  standin::SetService(service);
  standin::LaunchScript launch;
  launch.sessionId = GetParam().session;
  standin::SetLaunch(launch);
  standin::SetIdentity(GetParam().identity);
  testfiles::WriteBytes(settings, kMigrated);
  EXPECT_EQ(0, Run());
  EXPECT_EQ(M2 + "Norvane VPN has been already migrated.\n" + M11 + M12, console);
  EXPECT_EQ(GetParam().launches, Calls("CreateProcess"));
  for (const std::string &load : Calls("LoadLibraryExW")) {
    EXPECT_NE(std::string::npos, load.find(",0x800)->m")) << load;  // from the system folder, and found
  }
  EXPECT_EQ(0u, standin::OpenHandleCount());
  EXPECT_EQ(0u, standin::EnvironmentBlockCount());
  EXPECT_EQ(0u, standin::LoadedModuleCount());
}

INSTANTIATE_TEST_SUITE_P(
    Identities, UiIdentityTest,
    ::testing::Values(
        // A copy of the program in session 2 is not the UI program.
        IdentityRow{"SystemReachesTheUsersWhereTheUiRuns",
                    0,
                    {true,
                     {{1, "bob"}, {3, "carol"}},
                     {{kUiPath, 1}, {L"C:\\Users\\eve\\kvvpnuiapp.exe", 2}, {kUiPath, 3}},
                     "",
                     false,
                     0},
                    {AsUser("bob", 1, true), AsUser("carol", 3, true), AsUser("bob", 1, false),
                     AsUser("carol", 3, false)}},
        // In the job's own session it stays in the job; beyond it, nothing.
        IdentityRow{"JobThatForbidsBreakaway",
                    1,
                    {true, {{1, "bob"}, {2, "carol"}}, {{kUiPath, 2}}, "", true, 0},
                    {AsUser("bob", 1, true), AsUser("bob", 1, true, false), AsUser("carol", 2, true),
                     AsUser("carol", 2, true, false), AsUser("bob", 1, false), AsUser("bob", 1, false, false),
                     AsUser("carol", 2, false), AsUser("carol", 2, false, false)}},
        IdentityRow{"OverTheShouldersAsTheShellsUser",
                    1,
                    {false, {}, {{kUiPath, 1}}, "bob", false, 0},
                    {WithToken("bob", true), WithToken("bob", false)}},
        // Without the Secondary Logon service: with the tool's own token
        // onto its own user's desktop only.
        IdentityRow{"SecondaryLogonOffFallsBackForTheSameUser",
                    1,
                    {false, {}, {}, standin::kOwnUser, false, ERROR_SERVICE_DISABLED},
                    {WithToken(standin::kOwnUser, true), kStopLaunch, WithToken(standin::kOwnUser, false),
                     kRelaunch}},
        IdentityRow{"SecondaryLogonOffLendsNothingToAnotherUser",
                    1,
                    {false, {}, {}, "bob", false, ERROR_SERVICE_DISABLED},
                    {WithToken("bob", true), WithToken("bob", false)}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
