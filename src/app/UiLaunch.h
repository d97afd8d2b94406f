// The two launches of the UI program ("stop", then the relaunch), as the
// person at the desktop: never with this tool's elevated or SYSTEM rights,
// never into session 0. Launches report nothing.
#pragma once

#include <vector>

#include "app/Product.h"
#include "platform/Handle.h"
#include "platform/Win32.h"

// The desktop shell of this process's session, if any.
enum class UiShell { None, Elevated, NotElevated };

// What decides the launches, collected once before the first.
struct UiLaunchFacts {
  // wtsapi32 and userenv came from the system folder with their functions.
  bool systemLibraries = false;
  // WTSQueryUserToken for this process's session: 0, or the error it gave.
  DWORD userTokenAnswer = ERROR_PRIVILEGE_NOT_HELD;
  DWORD ownSession = 0;
  std::vector<DWORD> uiSessions;  // where the UI program runs, by its full path
  UiShell shell = UiShell::None;
  // The shell runs as this process's user: the session is this user's own
  // (UAC off, the built-in Administrator, a user who elevated the tool).
  bool shellIsOwnUser = false;
  // The UI program's file, its folder and those above admit only trusted
  // writers: nobody else can have put another program there.
  bool programTrusted = false;
};

enum class UiLaunchWay {
  SessionUsers,  // as each target session's user, in that session
  ShellUser,     // as the desktop shell's user, in this session
  Plain,         // with this process's own token
  None,          // not at all: only this process's rights are left, on another user's desktop
};

struct UiLaunchPlan {
  UiLaunchWay way = UiLaunchWay::Plain;
  std::vector<DWORD> sessions;  // SessionUsers: the targets, in ascending order
  bool relaunch = true;         // false: only the "stop"
  bool plainFallback = false;   // ShellUser: where that fails, Plain
  bool operator==(const UiLaunchPlan &other) const {
    return way == other.way && sessions == other.sessions && relaunch == other.relaunch &&
           plainFallback == other.plainFallback;
  }
};

// Who may launch as a session's user decides by what it can do, not by
// what account it is: WTSQueryUserToken answers it with anything but
// ERROR_PRIVILEGE_NOT_HELD. Such a process (SYSTEM) targets every session
// but 0 in which the UI program runs, and its own session unless that is 0.
// Any other process in a user's session launches as the shell's user when
// the shell is not elevated; with its own token only onto its own user's
// desktop (an elevated shell of that user, or where the launch as the
// shell's user fails), and otherwise not at all: an elevated program on
// another user's desktop would be that user's to drive. In session 0 it
// only asks for the "stop" (the relaunch would reach nobody). Nothing is
// ever run with its own token from a place others may write.
UiLaunchPlan ChooseUiLaunches(const UiLaunchFacts &facts);

// Collects the facts when made and keeps what the launches need: the
// product's UI program and folder among them.
class CUiLauncher {
 public:
  explicit CUiLauncher(const ProductPaths &product);
  CUiLauncher(const CUiLauncher &) = delete;
  CUiLauncher &operator=(const CUiLauncher &) = delete;

  void Stop();
  void Relaunch();

 private:
  using QueryUserTokenProc = BOOL(WINAPI *)(ULONG session, PHANDLE token);
  using CreateEnvironmentBlockProc = BOOL(WINAPI *)(LPVOID *environment, HANDLE token, BOOL inherit);
  using DestroyEnvironmentBlockProc = BOOL(WINAPI *)(LPVOID environment);

  bool LoadSystemLibraries();
  void Launch(const wchar_t *arguments);
  void LaunchAsSessionUser(DWORD session, const wchar_t *arguments) const;

  CModule m_wtsapi;
  CModule m_userenv;
  QueryUserTokenProc m_queryUserToken = nullptr;
  CreateEnvironmentBlockProc m_createEnvironmentBlock = nullptr;
  DestroyEnvironmentBlockProc m_destroyEnvironmentBlock = nullptr;
  ProductPaths m_product;
  CHandle m_shellToken;  // a primary token of the shell's user
  UiLaunchPlan m_plan;
};
