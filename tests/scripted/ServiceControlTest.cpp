// Service stop and start against the scripted service control manager: the
// exact calls, their order and arguments, the results and the virtual time.
#include "service/ServiceControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "StandIn.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kOpenScm = "OpenSCManagerW(null,null,0x80000000)->h1";
const std::string kOpenForStop = "OpenServiceW(h1,\"kvvpnservice\",0x80000020)->h2";
const std::string kOpenForStart = "OpenServiceW(h1,\"kvvpnservice\",0x80000050)->h2";
const std::string kQueryEx = "QueryServiceStatusEx(h2,0,36)";
const std::string kQuery = "QueryServiceStatus(h2)";
const std::string kStop = "ControlService(h2,1)";
const std::string kContinue = "ControlService(h2,3)";
const std::string kNotifyStopped = "NotifyServiceStatusChangeW(h2,0x1)->0";
const std::string kNotifyRunning = "NotifyServiceStatusChangeW(h2,0x8)->0";
const std::string kSlept = "SleepEx(500,1)->0";
const std::string kWoken = "SleepEx(500,1)->192";
const std::string kStartCalls[] = {"CommandLineToArgvW(\"kvvpnservice \")->1",
                                   "StartServiceW(h2,1,[\"kvvpnservice\"])", "LocalFree"};
// Between the two closes, a notification queued before the first still runs.
const std::string kDrain = "SleepEx(0,1)->0";
const std::string kClose[] = {"CloseServiceHandle(h2)", kDrain, "CloseServiceHandle(h1)"};

Calls Join(std::initializer_list<Calls> parts) {
  Calls out;
  for (const Calls &part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

Calls Repeat(const std::string &line, int count) {
  return Calls(static_cast<std::size_t>(count), line);
}

Calls StartRequest() {
  return Calls(std::begin(kStartCalls), std::end(kStartCalls));
}
Calls CloseBoth() {
  return Calls(std::begin(kClose), std::end(kClose));
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { standin::Reset(); }

  void TearDown() override {
    // Every way out releases every handle and leaves nothing registered.
    EXPECT_EQ(0u, standin::OpenHandleCount());
    EXPECT_EQ(0u, standin::OutstandingNotifications());
  }

  bool cancel = false;
};

struct Case {
  const char *name;
  bool stop;  // ServiceStop, else ServiceStart
  standin::ServiceScript script;
  DWORD result;
  Calls calls;
  std::uint64_t elapsed;
  DWORD finalState;
};

standin::ServiceScript With(DWORD state, std::function<void(standin::ServiceScript &)> change = nullptr) {
  standin::ServiceScript script;
  script.state = state;
  if (change) {
    change(script);
  }
  return script;
}

class ServiceCaseTest : public ServiceTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ServiceCaseTest, MakesExactlyTheseCalls) {
  const Case &c = GetParam();
  standin::SetService(c.script);
  const DWORD result = c.stop ? ServiceStop(cancel) : ServiceStart(cancel);
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.calls, standin::Calls());
  EXPECT_EQ(c.elapsed, standin::Now());
  EXPECT_EQ(c.finalState, standin::ServiceState());
}

// The service's process is opened before the stop, for waiting only.
const std::string kProcessOpen = "OpenProcess(0x100000,0,4000)->h3";
const std::string kProcessClose = "CloseHandle(h3)";
const Calls kProcessWait = {"WaitForSingleObject(h3,20000)->0", kProcessClose};

INSTANTIATE_TEST_SUITE_P(
    Stop, ServiceCaseTest,
    ::testing::Values(
        Case{"AlreadyStopped", true, With(SERVICE_STOPPED), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx}, CloseBoth()}), 0, SERVICE_STOPPED},
        Case{"Running", true, With(SERVICE_RUNNING), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             1000, SERVICE_STOPPED},
        Case{"ProcessLingersAWhile", true, With(SERVICE_RUNNING, [](auto &s) { s.processLinger = 7000; }), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             8000, SERVICE_STOPPED},
        Case{"ProcessNeverEnds", true, With(SERVICE_RUNNING, [](auto &s) { s.processLinger = -1; }),
             ERROR_TIMEOUT,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken,
                    "WaitForSingleObject(h3,20000)->258", kProcessClose},
                   CloseBoth()}),
             21000, SERVICE_STOPPED},
        Case{"NoProcessIdNoProcessWait", true,
             With(SERVICE_RUNNING,
                  [](auto &s) {
                    s.reportProcessId = false;
                    s.processLinger = -1;
                  }),
             0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kStop, kNotifyStopped, kSlept, kWoken}, CloseBoth()}),
             1000, SERVICE_STOPPED},
        Case{"ProcessCannotBeOpened", true,
             With(SERVICE_RUNNING,
                  [](auto &s) {
                    s.openProcessFails = true;
                    s.processLinger = -1;
                  }),
             0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, "OpenProcess(0x100000,0,4000)->null", kStop,
                    kNotifyStopped, kSlept, kWoken},
                   CloseBoth()}),
             1000, SERVICE_STOPPED},
        Case{"StartPendingWaitsForRunningFirst", true, With(SERVICE_START_PENDING), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kNotifyRunning, kSlept, kWoken, kProcessOpen, kStop,
                    kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             2000, SERVICE_STOPPED},
        Case{"StopPendingRefusesTheControl", true, With(SERVICE_STOP_PENDING),
             ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kProcessClose}, CloseBoth()}), 0,
             SERVICE_STOP_PENDING},
        Case{"PausedIsStopped", true, With(SERVICE_PAUSED), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             1000, SERVICE_STOPPED},
        Case{"NeverStops", true, With(SERVICE_RUNNING, [](auto &s) { s.stopDelay = -1; }), ERROR_TIMEOUT,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped},
                   Repeat(kSlept, 40),
                   {kProcessClose},
                   CloseBoth()}),
             20000, SERVICE_STOP_PENDING},
        Case{"NotificationNeverDelivered", true,
             With(SERVICE_RUNNING, [](auto &s) { s.deliverNotifications = false; }), ERROR_TIMEOUT,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped},
                   Repeat(kSlept, 40),
                   {kProcessClose},
                   CloseBoth()}),
             20000, SERVICE_STOPPED},
        Case{"Missing",
             true,
             With(SERVICE_STOPPED, [](auto &s) { s.exists = false; }),
             ERROR_SERVICE_DOES_NOT_EXIST,
             {kOpenScm, "OpenServiceW(h1,\"kvvpnservice\",0x80000020)->null", kDrain,
              "CloseServiceHandle(h1)"},
             0,
             SERVICE_STOPPED},
        Case{"ManagerRefused",
             true,
             With(SERVICE_RUNNING, [](auto &s) { s.openScmError = ERROR_ACCESS_DENIED; }),
             ERROR_ACCESS_DENIED,
             {"OpenSCManagerW(null,null,0x80000000)->null", kDrain},
             0,
             SERVICE_RUNNING},
        Case{"QueryRefused", true,
             With(SERVICE_RUNNING, [](auto &s) { s.queryError = ERROR_INVALID_HANDLE; }),
             ERROR_INVALID_HANDLE, Join({{kOpenScm, kOpenForStop, kQueryEx}, CloseBoth()}), 0,
             SERVICE_RUNNING},
        Case{"StopRefused", true,
             With(SERVICE_RUNNING, [](auto &s) { s.stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL; }),
             ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kProcessClose}, CloseBoth()}), 0,
             SERVICE_RUNNING},
        Case{"NotifyRefused", true,
             With(SERVICE_RUNNING, [](auto &s) { s.notifyResults = {ERROR_INVALID_PARAMETER}; }),
             ERROR_INVALID_PARAMETER,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop,
                    "NotifyServiceStatusChangeW(h2,0x1)->87", kProcessClose},
                   CloseBoth()}),
             0, SERVICE_STOP_PENDING},
        // Protected processes refuse to be opened for more than waiting.
        Case{"ProtectedProcessIsWaitedFor", true,
             With(SERVICE_RUNNING,
                  [](auto &s) {
                    s.protectedProcess = true;
                    s.processLinger = 7000;
                  }),
             0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             8000, SERVICE_STOPPED},
        // Held from before the stop, the id cannot pass to another program.
        Case{"ProcessIdReusedOnceItEnds", true,
             With(SERVICE_RUNNING, [](auto &s) { s.processIdReused = true; }), 0,
             Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kSlept, kWoken},
                   kProcessWait,
                   CloseBoth()}),
             1000, SERVICE_STOPPED}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Start, ServiceCaseTest,
    ::testing::Values(
        Case{"FromStopped", false, With(SERVICE_STOPPED), 0,
             Join({{kOpenScm, kOpenForStart, kQuery},
                   StartRequest(),
                   {kNotifyRunning, kSlept, kWoken},
                   CloseBoth()}),
             1000, SERVICE_RUNNING},
        Case{"AlreadyRunning", false, With(SERVICE_RUNNING), 0,
             Join({{kOpenScm, kOpenForStart, kQuery}, CloseBoth()}), 0, SERVICE_RUNNING},
        Case{"StopPendingWaitsForStoppedFirst", false,
             With(SERVICE_STOP_PENDING, [](auto &s) { s.stopDelay = 2000; }), 0,
             Join({{kOpenScm, kOpenForStart, kQuery, kNotifyStopped},
                   Repeat(kSlept, 3),
                   {kWoken},
                   StartRequest(),
                   {kNotifyRunning, kSlept, kWoken},
                   CloseBoth()}),
             3000, SERVICE_RUNNING},
        Case{"StartPendingRequestRefused", false, With(SERVICE_START_PENDING), ERROR_SERVICE_ALREADY_RUNNING,
             Join({{kOpenScm, kOpenForStart, kQuery}, StartRequest(), CloseBoth()}), 0,
             SERVICE_START_PENDING},
        Case{"ContinuePendingRequestRefused", false, With(SERVICE_CONTINUE_PENDING),
             ERROR_SERVICE_ALREADY_RUNNING,
             Join({{kOpenScm, kOpenForStart, kQuery}, StartRequest(), CloseBoth()}), 0,
             SERVICE_CONTINUE_PENDING},
        // The handle carries the pause-and-continue right the control needs.
        Case{"PausedContinues", false, With(SERVICE_PAUSED), 0,
             Join({{kOpenScm, kOpenForStart, kQuery, kContinue, kNotifyRunning, kWoken}, CloseBoth()}), 500,
             SERVICE_RUNNING},
        Case{"StartRefused", false,
             With(SERVICE_STOPPED, [](auto &s) { s.startError = ERROR_ACCESS_DENIED; }), ERROR_ACCESS_DENIED,
             Join({{kOpenScm, kOpenForStart, kQuery}, StartRequest(), CloseBoth()}), 0, SERVICE_STOPPED},
        Case{"ArgumentsCannotBeSplit", false, With(SERVICE_STOPPED, [](auto &s) { s.argvFails = true; }),
             ERROR_NOT_ENOUGH_MEMORY,
             Join({{kOpenScm, kOpenForStart, kQuery, "CommandLineToArgvW(\"kvvpnservice \")->null"},
                   CloseBoth()}),
             0, SERVICE_STOPPED},
        Case{"NeverComesUp", false, With(SERVICE_STOPPED, [](auto &s) { s.startDelay = -1; }), ERROR_TIMEOUT,
             Join({{kOpenScm, kOpenForStart, kQuery},
                   StartRequest(),
                   {kNotifyRunning},
                   Repeat(kSlept, 40),
                   CloseBoth()}),
             20000, SERVICE_START_PENDING}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ServiceTest, StartHandsTheServiceItsNameAsTheOnlyArgument) {
  standin::SetService(With(SERVICE_STOPPED));
  ASSERT_EQ(0u, ServiceStart(cancel));
  EXPECT_EQ(std::vector<std::wstring>{L"kvvpnservice"}, standin::LastStartArguments());
}

TEST_F(ServiceTest, PausedServiceThatRefusesToContinueAndComesBackCountsAsStarted) {
  standin::SetService(
      With(SERVICE_PAUSED, [](auto &s) { s.continueError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL; }));
  standin::ScheduleServiceState(2500, SERVICE_RUNNING);
  EXPECT_EQ(0u, ServiceStart(cancel));
  EXPECT_EQ(2500u, standin::Now());
}

TEST_F(ServiceTest, RaisedCancelFlagEndsTheWaitWithoutSleeping) {
  standin::SetService(With(SERVICE_RUNNING));
  cancel = true;
  EXPECT_EQ(ERROR_TIMEOUT, ServiceStop(cancel));
  EXPECT_EQ(Join({{kOpenScm, kOpenForStop, kQueryEx, kProcessOpen, kStop, kNotifyStopped, kProcessClose},
                  CloseBoth()}),
            standin::Calls());
}

TEST_F(ServiceTest, CancelFlagRaisedDuringTheWaitIsSeenAfterTheSleep) {
  auto script = With(SERVICE_RUNNING);
  script.stopDelay = -1;
  standin::SetService(script);
  standin::OnSleep([this](int count) { cancel = count == 3; });
  EXPECT_EQ(ERROR_TIMEOUT, ServiceStop(cancel));
  EXPECT_EQ(1500u, standin::Now());
}

TEST_F(ServiceTest, NotificationThatRanWinsOverTheCancelFlag) {
  standin::SetService(With(SERVICE_RUNNING));
  // Raised during the very sleep in which the notification runs.
  standin::OnSleep([this](int count) { cancel = count == 2; });
  EXPECT_EQ(0u, ServiceStop(cancel));
}

TEST_F(ServiceTest, ForeignApcStartsAFreshBudget) {
  auto script = With(SERVICE_RUNNING);
  script.deliverNotifications = false;
  standin::SetService(script);
  bool foreignRan = false;
  standin::ScheduleForeignApc(1000, [&foreignRan] { foreignRan = true; });
  EXPECT_EQ(ERROR_TIMEOUT, ServiceStop(cancel));
  EXPECT_TRUE(foreignRan);
  EXPECT_EQ(21000u, standin::Now());
  const auto &calls = standin::Calls();
  EXPECT_EQ(1, std::count(calls.begin(), calls.end(), kWoken));
  EXPECT_EQ(41, std::count(calls.begin(), calls.end(), kSlept));
}

TEST_F(ServiceTest, LaggingClientReopensWithTheSameAccessUntilRegistered) {
  auto script = With(SERVICE_RUNNING);
  script.notifyResults = {ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, 0};
  standin::SetService(script);
  EXPECT_EQ(0u, ServiceStop(cancel));
  const Calls expected = {kOpenScm,
                          kOpenForStop,
                          kQueryEx,
                          kProcessOpen,
                          kStop,
                          "NotifyServiceStatusChangeW(h2,0x1)->1294",
                          "CloseServiceHandle(h2)",
                          "CloseServiceHandle(h1)",
                          "Sleep(500)",
                          "OpenSCManagerW(null,null,0x80000000)->h4",
                          "OpenServiceW(h4,\"kvvpnservice\",0x80000020)->h5",
                          "NotifyServiceStatusChangeW(h5,0x1)->1294",
                          "CloseServiceHandle(h5)",
                          "CloseServiceHandle(h4)",
                          "Sleep(500)",
                          "OpenSCManagerW(null,null,0x80000000)->h6",
                          "OpenServiceW(h6,\"kvvpnservice\",0x80000020)->h7",
                          "NotifyServiceStatusChangeW(h7,0x1)->0",
                          "SleepEx(500,1)->192",
                          "WaitForSingleObject(h3,20000)->0",
                          kProcessClose,
                          "CloseServiceHandle(h7)",
                          kDrain,
                          "CloseServiceHandle(h6)"};
  EXPECT_EQ(expected, standin::Calls());
}

// Lagging without end: the cancel flag, or else one wait's budget of 40
// pauses, ends the re-registration. (A flag raised at the 200th pause only
// keeps an unbounded loop from hanging the test.)
TEST_F(ServiceTest, LaggingWithoutEndStopsOnTheCancelFlagOrTheBudget) {
  const struct {
    int cancelAt;
    DWORD result;
    std::uint64_t elapsed;
  } cases[] = {{10, ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, 10u * 500u}, {200, ERROR_TIMEOUT, 40u * 500u}};
  for (const auto &c : cases) {
    standin::Reset();
    cancel = false;
    auto script = With(SERVICE_RUNNING);
    script.notifyDefault = ERROR_SERVICE_NOTIFY_CLIENT_LAGGING;
    standin::SetService(script);
    standin::OnSleep([this, &c](int count) { cancel = count == c.cancelAt; });
    EXPECT_EQ(c.result, ServiceStop(cancel));
    EXPECT_EQ(c.elapsed, standin::Now());
    EXPECT_EQ(0u, standin::OpenHandleCount());
  }
}

// Lagging in the first of two waits: the stop or start that follows goes
// out on the reopened handle, which must carry its right.
TEST_F(ServiceTest, LaggingBeforeTheControlReopensWithItsRight) {
  for (const bool stop : {true, false}) {
    standin::Reset();
    auto script = With(stop ? SERVICE_START_PENDING : SERVICE_STOP_PENDING);
    script.notifyResults = {ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, 0};
    standin::SetService(script);
    EXPECT_EQ(0u, stop ? ServiceStop(cancel) : ServiceStart(cancel)) << stop;
    EXPECT_EQ(stop ? SERVICE_STOPPED : SERVICE_RUNNING, standin::ServiceState());
    EXPECT_EQ(0u, standin::OpenHandleCount());
  }
}

TEST_F(ServiceTest, FailedReopenWhileLaggingIsReturned) {
  auto script = With(SERVICE_RUNNING);
  script.notifyDefault = ERROR_SERVICE_NOTIFY_CLIENT_LAGGING;
  standin::SetService(script);
  standin::OnSleep([](int count) {
    if (count == 2) {
      auto broken = standin::ServiceScript();
      broken.state = SERVICE_STOP_PENDING;
      broken.openScmError = ERROR_ACCESS_DENIED;
      standin::SetService(broken);
    }
  });
  EXPECT_EQ(ERROR_ACCESS_DENIED, ServiceStop(cancel));
  const Calls tail = {"OpenSCManagerW(null,null,0x80000000)->null", kProcessClose, kDrain};
  EXPECT_EQ(tail, Calls(standin::Calls().end() - 3, standin::Calls().end()));
}

class ControlObjectTest : public ServiceTest {};

TEST_F(ControlObjectTest, SecondRegistrationIsRefusedAndFirstStays) {
  standin::SetService(With(SERVICE_STOPPED));
  int first = 0;
  int second = 0;
  {
    CServiceControl control;
    ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ));
    ASSERT_EQ(0u, control.NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel,
                                             [&](SERVICE_NOTIFY_2W &) { ++first; }));
    EXPECT_EQ(ERROR_ALREADY_EXISTS, control.NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel,
                                                               [&](SERVICE_NOTIFY_2W &) { ++second; }));
    EXPECT_EQ(WAIT_IO_COMPLETION, SleepEx(500, TRUE));
    // Spent by its delivery: a new registration is accepted.
    EXPECT_EQ(0u, control.NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel,
                                             [&](SERVICE_NOTIFY_2W &) { ++second; }));
    EXPECT_EQ(WAIT_IO_COMPLETION, SleepEx(500, TRUE));
  }
  EXPECT_EQ(1, first);
  EXPECT_EQ(1, second);
  const auto &calls = standin::Calls();
  EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "NotifyServiceStatusChangeW(h2,0x1)->0"));
}

TEST_F(ControlObjectTest, ClearedBlockIsIgnoredAndCancelDropsTheCallable) {
  standin::SetService(With(SERVICE_RUNNING));
  SERVICE_NOTIFY_2W cleared{};
  CServiceControl::OnStatusNotify(&cleared);
  int calls = 0;
  CServiceControl control;
  ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ));
  ASSERT_EQ(
      0u, control.NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel, [&](SERVICE_NOTIFY_2W &) { ++calls; }));
  control.CancelNotify();
  SERVICE_NOTIFY_2W block{};
  block.pContext = &control;
  CServiceControl::OnStatusNotify(&block);
  EXPECT_EQ(0, calls);
  EXPECT_EQ(
      0u, control.NotifyStatusChange(SERVICE_NOTIFY_RUNNING, cancel, [&](SERVICE_NOTIFY_2W &) { ++calls; }));
  EXPECT_EQ(WAIT_IO_COMPLETION, SleepEx(500, TRUE));
  EXPECT_EQ(1, calls);
}

TEST_F(ControlObjectTest, NotificationQueuedAtTheCloseRunsWhileTheBlockExists) {
  standin::SetService(With(SERVICE_STOPPED));
  int calls = 0;
  auto control = std::make_unique<CServiceControl>();
  ASSERT_EQ(0u, control->Open(L"kvvpnservice", GENERIC_READ));
  // Already stopped: the notification is queued at once, and has not run.
  ASSERT_EQ(
      0u, control->NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel, [&](SERVICE_NOTIFY_2W &) { ++calls; }));
  control.reset();
  // Had it stayed queued, it would read the freed block here.
  EXPECT_EQ(0u, SleepEx(500, TRUE));
  EXPECT_EQ(0, calls);
}

// The system takes the callback from the block when it queues a
// notification: one queued as the handle closes still finds it, and the
// cleared context makes it a no-op.
TEST_F(ControlObjectTest, NotificationQueuedAsTheHandleClosesFindsItsCallback) {
  standin::SetService(With(SERVICE_RUNNING, [](auto &s) { s.stateAtClose = SERVICE_STOPPED; }));
  int calls = 0;
  {
    CServiceControl control;
    ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ));
    ASSERT_EQ(0u, control.NotifyStatusChange(SERVICE_NOTIFY_STOPPED, cancel,
                                             [&](SERVICE_NOTIFY_2W &) { ++calls; }));
  }
  EXPECT_EQ(0, calls);
  const auto &log = standin::Calls();
  EXPECT_EQ(0, std::count(log.begin(), log.end(), "APC to address 0"));
  EXPECT_EQ(Join({{kOpenScm, "OpenServiceW(h1,\"kvvpnservice\",0x80000000)->h2", kNotifyStopped},
                  {"CloseServiceHandle(h2)", "SleepEx(0,1)->192", "CloseServiceHandle(h1)"}}),
            log);
}

// A notification run inside the registering call ends the wait before its
// first sleep, not after the whole budget.
TEST_F(ControlObjectTest, NotificationRunInTheRegisteringCallEndsTheWaitAtOnce) {
  standin::SetService(With(SERVICE_STOPPED, [](auto &s) { s.notifyInCall = true; }));
  CServiceControl control;
  ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ));
  EXPECT_EQ(0u, control.WaitForStatus(SERVICE_NOTIFY_STOPPED, cancel));
  EXPECT_EQ(0u, standin::Now());
}

TEST_F(ControlObjectTest, OpenReusesTheManagerHandleAndKeepsTheOldServiceOnFailure) {
  standin::SetService(With(SERVICE_RUNNING));
  CServiceControl control;
  ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ));
  ASSERT_EQ(0u, control.Open(L"kvvpnservice", GENERIC_READ | SERVICE_STOP));
  auto script = With(SERVICE_RUNNING);
  script.openServiceError = ERROR_ACCESS_DENIED;
  standin::SetService(script);
  EXPECT_EQ(ERROR_ACCESS_DENIED, control.Open(L"kvvpnservice", GENERIC_READ));
  EXPECT_NE(nullptr, control.Handle());
  const Calls expected = {kOpenScm, "OpenServiceW(h1,\"kvvpnservice\",0x80000000)->h2",
                          "OpenServiceW(h1,\"kvvpnservice\",0x80000020)->h3", "CloseServiceHandle(h2)",
                          "OpenServiceW(h1,\"kvvpnservice\",0x80000000)->null"};
  EXPECT_EQ(expected, standin::Calls());
}

}  // namespace
