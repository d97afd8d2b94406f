// Test controls of the host stand-in: scripted behaviour, a virtual clock and
// a log of the calls made, so tests can check order, arguments and time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/Win32.h"

namespace standin {

// Puts every piece of stand-in state back to its start.
void Reset();

// Virtual time in milliseconds; Sleep and friends advance it, never wait.
std::uint64_t Now();

// Calls recorded since the last Reset or ClearCalls, one line each, e.g.
// "Sleep(2000)". Only calls that tests reason about are recorded.
const std::vector<std::string> &Calls();
void ClearCalls();
void Record(const std::string &line);
// Called with each line as it is recorded: where a test acts as another
// process would, between two of the program's calls.
void OnCall(std::function<void(const std::string &line)> hook);

// Narrow form of a wide string, for messages and the call log.
std::string Narrow(const std::wstring &text);

// ---- files ---------------------------------------------------------------

// Host folder that "C:\" stands for; other paths are used as given, with
// backslashes turned into slashes.
void SetDriveRoot(const std::string &folder);
std::string HostPath(const std::wstring &path);

// Failures injected into file calls. Calls of each kind are counted from
// SetFileFaults on, the first being 1; a listed call fails once.
struct FileFaults {
  // Room left on the volume for files to grow, in bytes (-1: no limit).
  // Overwriting bytes that a file already has takes none; room given up is
  // taken by others at once.
  std::int64_t freeSpace = -1;
  // A failing WriteFile writes the first half of its bytes, then fails.
  std::vector<int> failWrites;
  DWORD writeError = ERROR_IO_DEVICE;
  std::vector<int> failReads;
  DWORD readError = ERROR_IO_DEVICE;
  std::vector<int> failEndOfFile;
  DWORD endOfFileError = ERROR_IO_DEVICE;
  std::vector<int> failFlushes;
  DWORD flushError = ERROR_IO_DEVICE;
  // At most this many bytes per WriteFile call (0: no limit).
  DWORD writeChunk = 0;
  DWORD closeError = 0;  // for every CloseHandle of a file opened for writing
  // The process ends at the start of this WriteFile call (0: never):
  // killed (kKilled), or by the default action of this console control
  // event, which first goes to the program's handlers on a thread of its
  // own, as the system delivers it. The call goes on once that thread has
  // ended or waits for a lock.
  int endAtWrite = 0;
  DWORD endBy = 0;
};
constexpr DWORD kKilled = 0xFFFFFFFFu;

// Called once, at the moment the process ends (see FileFaults::endAtWrite);
// the program's thread itself goes on, so this is where a test looks.
void OnProcessEnd(std::function<void()> hook);
// Waits for a control event's thread to finish; true if the process ended.
bool AwaitProcessEnd();
// Console control handlers the program has set and not removed.
std::size_t ControlHandlerCount();
void SetFileFaults(const FileFaults &faults);

// Calls of each kind made since SetFileFaults (or Reset).
struct FileCallCounts {
  int writes = 0;
  int reads = 0;
  int endOfFile = 0;
  int flushes = 0;
};
FileCallCounts FileCalls();

// The file's access-control list, as an opaque text that GetSecurityInfo
// hands out and a file created with that descriptor takes over. Files the
// program did not create carry "inherited".
void SetFileDacl(const std::wstring &path, const std::string &dacl);
// Entries a folder hands down to files created in it with a descriptor
// whose access list is not protected ("D:P"), appended to it; the system
// merges inheritable entries that way.
void SetFolderInheritance(const std::wstring &folder, const std::string &entries);
std::string FileDacl(const std::wstring &path);

// A link that every call taking a path follows, whatever its flags, as an
// object manager's link is followed: the path stands for the target. A
// name opened relative to a held folder is not a path.
void SetObjectLink(const std::wstring &path, const std::wstring &target);

// Another process holds an oplock on the file and never acknowledges its
// break: an open that would break it (any access beyond the attributes)
// waits for a day of the clock, unless it asks to complete at once
// (FILE_COMPLETE_IF_OPLOCKED), which it then does with
// STATUS_OPLOCK_BREAK_IN_PROGRESS.
void SetOplock(const std::wstring &path);

// Handles the stand-in has handed out and not yet seen closed.
std::size_t OpenHandleCount();

// ---- modules -------------------------------------------------------------

// The program's own path as GetModuleFileNameW gives it (a Windows path,
// under the drive root); empty makes that call fail.
void SetProgramPath(const std::wstring &path);
// Libraries loaded through LoadLibraryW and not yet freed to a count of 0.
std::size_t LoadedModuleCount();

// ---- service control manager, APCs and processes -------------------------

// How the one scripted service behaves. Delays are in virtual milliseconds;
// a negative delay means the transition never happens.
struct ServiceScript {
  bool exists = true;
  DWORD state = SERVICE_STOPPED;
  std::int64_t startDelay = 1000;    // START_PENDING to RUNNING
  std::int64_t stopDelay = 1000;     // STOP_PENDING to STOPPED
  std::int64_t continueDelay = 500;  // CONTINUE_PENDING to RUNNING
  std::int64_t processLinger = 0;    // process end after STOPPED
  DWORD openScmError = 0;
  DWORD openServiceError = 0;
  DWORD queryError = 0;
  DWORD stopError = 0;      // ControlService(STOP) refused with this
  DWORD startError = 0;     // StartServiceW refused with this
  DWORD continueError = 0;  // ControlService(CONTINUE) refused with this
  bool openProcessFails = false;
  // The service's process is protected: it can be opened only for waiting,
  // querying a little, ending or suspending; any other right is refused.
  bool protectedProcess = false;
  // Once the service's process has ended with no handle open to it, its id
  // names another, long-lived process.
  bool processIdReused = false;
  // The system runs the notification inside the registering call, as an
  // alertable wait there would.
  bool notifyInCall = false;
  // The service reaches this state just as a service handle is being
  // closed, once (0: no change).
  DWORD stateAtClose = 0;
  bool reportProcessId = true;  // false: the status shows process id 0
  bool argvFails = false;       // CommandLineToArgvW fails
  bool deliverNotifications = true;
  // Answers of successive NotifyServiceStatusChangeW calls; then notifyDefault.
  std::vector<DWORD> notifyResults;
  DWORD notifyDefault = 0;
};

// Installs the service as scripted (after Reset, before the calls); a
// pending state moves on after its delay.
void SetService(const ServiceScript &script);
DWORD ServiceState();
// Current state changes at virtual time 'at' by the service's own doing.
void ScheduleServiceState(std::uint64_t at, DWORD state);
// An APC unrelated to any notification, queued to the calling thread at 'at'.
void ScheduleForeignApc(std::uint64_t at, std::function<void()> apc);
// Called at the start of every Sleep and SleepEx, with the count so far.
void OnSleep(std::function<void(int count)> hook);
// Arguments of the last accepted StartServiceW.
std::vector<std::wstring> LastStartArguments();
// Registrations the model still holds (outstanding notifications).
std::size_t OutstandingNotifications();

// ---- process launch and console ----------------------------------------

struct LaunchScript {
  DWORD createProcessError = 0;  // CreateProcessW fails with this
  int keyAfterPolls = 0;         // _kbhit answers 0 this many times, then 1
  bool consoleInput = true;      // false: "CONIN$" cannot be opened
  bool visibleStation = true;    // false: a window station no one sees
  bool consoleWindow = true;     // false: a console made without a window
  DWORD sessionId = 1;           // the process's session (0: services')
};
void SetLaunch(const LaunchScript &script);

// Who the program runs as (kOwnUser, an administrator, unless SYSTEM), and
// who else is there. Its session is the launch script's.
constexpr char kOwnUser[] = "S-1-5-21-7-7-7-1001";
struct IdentityScript {
  bool system = false;                        // SYSTEM: WTSQueryUserToken answers (else 1314)
  std::map<DWORD, std::string> sessionUsers;  // a session without a user answers 1008
  // Programs running besides this one: their paths and sessions.
  std::vector<std::pair<std::wstring, DWORD>> programs;
  std::string shellUser;  // the desktop shell's; empty: no shell window
  // The program's job refuses breakaway, and a process in it must stay in
  // the job's session.
  bool jobForbidsBreakaway = false;
  DWORD withTokenError = 0;  // CreateProcessWithTokenW fails with this
  bool shellElevated = false;
};
void SetIdentity(const IdentityScript &script);
// Environment blocks made and not yet destroyed.
std::size_t EnvironmentBlockCount();

}  // namespace standin
