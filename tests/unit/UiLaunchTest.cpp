#include "app/UiLaunch.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD kNotHeld = ERROR_PRIVILEGE_NOT_HELD;
constexpr DWORD kNoToken = 1008;  // no user in that session
const UiLaunchPlan kAsShellUser{UiLaunchWay::ShellUser, {}, true};
const UiLaunchPlan kAsShellUserOrPlain{UiLaunchWay::ShellUser, {}, true, true};
const UiLaunchPlan kPlain{UiLaunchWay::Plain, {}, true};
const UiLaunchPlan kNone{UiLaunchWay::None, {}, true};
const UiLaunchPlan kPlainStopOnly{UiLaunchWay::Plain, {}, false};

UiLaunchPlan AsSessionUsers(std::vector<DWORD> sessions) {
  return {UiLaunchWay::SessionUsers, std::move(sessions), true};
}

UiLaunchFacts Facts(bool systemLibraries, DWORD userTokenAnswer, DWORD ownSession,
                    std::vector<DWORD> uiSessions, UiShell shell, bool shellIsOwnUser = false,
                    bool programTrusted = true) {
  UiLaunchFacts facts;
  facts.shellIsOwnUser = shellIsOwnUser;
  facts.programTrusted = programTrusted;
  facts.systemLibraries = systemLibraries;
  facts.userTokenAnswer = userTokenAnswer;
  facts.ownSession = ownSession;
  facts.uiSessions = std::move(uiSessions);
  facts.shell = shell;
  return facts;
}

struct ChoiceCase {
  const char *name;
  UiLaunchFacts facts;
  UiLaunchPlan plan;
};

class UiLaunchTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(UiLaunchTest, ChoosesAsTheRowSays) {
  const UiLaunchPlan plan = ChooseUiLaunches(GetParam().facts);
  EXPECT_TRUE(GetParam().plan == plan) << static_cast<int>(plan.way) << " to " << plan.sessions.size()
                                       << " sessions, relaunch " << plan.relaunch;
}

const ChoiceCase kCases[] = {
    ChoiceCase{"SelfElevatedWithAShell", Facts(true, kNotHeld, 1, {1}, UiShell::NotElevated, true),
               kAsShellUserOrPlain},
    // The technician's token, the user's shell; the UI also runs for
    // a user switched away from, in session 2, out of reach.
    ChoiceCase{"OverTheShoulder", Facts(true, kNotHeld, 1, {1, 2}, UiShell::NotElevated), kAsShellUser},
    // Whose desktop it is cannot be told: the tool's rights are not lent.
    ChoiceCase{"NoShell", Facts(true, kNotHeld, 1, {1}, UiShell::None), kNone},
    // UAC off, or the built-in Administrator, at their own desktop.
    ChoiceCase{"ElevatedShellOfTheSameUser", Facts(true, kNotHeld, 1, {1}, UiShell::Elevated, true), kPlain},
    ChoiceCase{"ElevatedShellOfAnotherUser", Facts(true, kNotHeld, 1, {1}, UiShell::Elevated), kNone},
    // A program others may have put there is never run with the tool's rights.
    ChoiceCase{"UntrustedProgram", Facts(true, kNotHeld, 1, {1}, UiShell::NotElevated, true, false),
               kAsShellUser},
    ChoiceCase{"SystemWithTheUiInSessionsOneAndThree", Facts(true, kNoToken, 0, {3, 1, 1}, UiShell::None),
               AsSessionUsers({1, 3})},
    ChoiceCase{"SystemWithNobodyLoggedOn", Facts(true, kNoToken, 0, {}, UiShell::None), AsSessionUsers({})},
    // An older run left one as SYSTEM in session 0.
    ChoiceCase{"SystemNeverLaunchesIntoSessionZero", Facts(true, kNoToken, 0, {0, 2}, UiShell::None),
               AsSessionUsers({2})},
    ChoiceCase{"SystemInTheUsersSession", Facts(true, 0, 1, {}, UiShell::NotElevated), AsSessionUsers({1})},
    ChoiceCase{"AdministratorInSessionZero", Facts(true, kNotHeld, 0, {1}, UiShell::None), kPlainStopOnly},
    // Whatever the answer would have been: without the libraries there
    // is nobody to ask.
    ChoiceCase{"SystemLibrariesNotLoadedInSessionZero", Facts(false, kNoToken, 0, {1}, UiShell::None),
               kPlainStopOnly},
    ChoiceCase{"SystemLibrariesNotLoadedWithAShell", Facts(false, kNotHeld, 1, {1}, UiShell::NotElevated),
               kAsShellUser},
};

INSTANTIATE_TEST_SUITE_P(Cases, UiLaunchTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
