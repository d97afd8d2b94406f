// Internal state shared by the stand-in's translation units.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StandIn.h"

namespace standin::detail {

enum class ObjectKind { File, Process, Thread, ScManager, Service, Console, Token, Snapshot };

// A file's identity: the same file under every name (hard links) and for
// every handle.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator<(const FileId &other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
  bool operator==(const FileId &other) const { return device == other.device && inode == other.inode; }
};

struct Object {
  ObjectKind kind = ObjectKind::File;
  int fd = -1;
  FileId file;
  DWORD share = 0;
  DWORD processId = 0;
  DWORD access = 0;
  int number = 0;  // h<number> in the call log
  bool directory = false;
  std::string user;       // a token's, as a SID's text
  DWORD session = 0;      // a token's
  bool elevated = false;  // a token's
  std::size_t next = 0;   // a snapshot's next entry
};

struct Event {
  std::uint64_t at = 0;
  std::uint64_t order = 0;
  std::function<void()> action;
};

struct Registration {
  std::uintptr_t service = 0;
  DWORD mask = 0;
  SERVICE_NOTIFY_2W *block = nullptr;
  std::thread::id thread;
};

struct Apc {
  std::uintptr_t service = 0;  // 0: not from a notification
  std::function<void()> run;
};

struct Module {
  void *library = nullptr;                   // from dlopen; null for a system library
  std::map<std::string, FARPROC> functions;  // a system library's
  std::wstring path;
  int references = 0;
  int number = 0;  // m<number> in the call log
};

struct State {
  std::recursive_mutex lock;
  std::uint64_t now = 0;
  std::vector<std::string> calls;
  std::function<void(const std::string &)> onCall;
  std::string driveRoot = "/";
  FileFaults faults;
  FileCallCounts fileCalls;
  // Hidden, system and archive bits; read-only is the file's write bits.
  std::map<FileId, DWORD> attributes;
  std::map<FileId, std::string> dacls;
  std::map<std::string, std::string> folderInheritance;  // host folder to entries
  std::map<std::string, std::string> objectLinks;        // host path to host path
  std::vector<FileId> oplocks;
  std::map<std::uintptr_t, Object> handles;
  std::uintptr_t nextHandle = 0x1000;
  int nextNumber = 1;

  ServiceScript service;
  std::size_t notifyCalls = 0;
  std::vector<Event> events;
  std::uint64_t eventOrder = 0;
  std::vector<Registration> registrations;
  std::map<std::thread::id, std::deque<Apc>> apcs;
  std::map<DWORD, std::uint64_t> processEnds;  // pid to end time (max: alive)
  DWORD currentPid = 0;
  DWORD nextPid = 4000;
  std::vector<std::wstring> startArguments;
  std::function<void(int)> onSleep;
  int sleeps = 0;
  LaunchScript launch;
  int kbhitCalls = 0;

  IdentityScript identity;
  std::map<const void *, std::string> environments;  // block to its user

  std::map<std::uintptr_t, Module> modules;
  int nextModuleNumber = 1;
  std::wstring programPath;
};

State &Get();

// Hands out a new handle for the object.
HANDLE AddHandle(const Object &object);
Object *FindHandle(HANDLE handle);

// Advances the clock by ms; defined with the service model, which has
// transitions that fall due meanwhile. Returns true when an APC became
// runnable for the calling thread and 'stopOnApc' was set (time then stops
// at that event).
bool AdvanceClock(std::uint64_t ms, bool stopOnApc);

void ResetServices();
void ResetModules();
void ResetEvents();
void ResetIdentity();
// A system library's functions by name; empty for any other library.
std::map<std::string, FARPROC> SystemLibrary(const std::wstring &name);
// The ids of the scripted programs, in their order, and of the shell.
constexpr DWORD kFirstProgramId = 7000;
constexpr DWORD kShellProcessId = 6000;
// A new process, as the launch calls hand it out.
void AddProcess(LPPROCESS_INFORMATION info);
// A launch opens its program as the system does, and so waits out an
// oplock on it (see SetOplock).
void OpenImage(LPCWSTR application);
// Ends the process as FileFaults::endBy says, from the program's thread.
void EndProcess(DWORD by);
std::string HandleName(const void *handle);

std::string Hex(std::uint32_t value);
// A copy that LocalFree releases.
LPWSTR WideCopy(const std::string &text);
std::string Str(const wchar_t *text);

}  // namespace standin::detail
