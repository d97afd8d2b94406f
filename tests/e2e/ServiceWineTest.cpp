// ServiceStop and ServiceStart against Wine's real service control manager
// and the stub service, installed as "kvvpnservice" for this run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "StubServiceControl.h"
#include "platform/Win32.h"
#include "service/ServiceControl.h"

namespace {

std::wstring g_stub;  // the stub service's program, from the command line

using e2e::OpenStubService;
using e2e::StubStatus;
using e2e::WaitStubState;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class ServiceWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(e2e::ForceStubStopped(g_stub));
    e2e::ConfigureStub(g_stub, "");
    e2e::ClearStubLog(g_stub);
  }

  bool cancel = false;
};

TEST_F(ServiceWineTest, StoppedServiceStopsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, ServiceStop(cancel));
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ("", e2e::StubLog(g_stub));  // no process was started, no control sent
}

TEST_F(ServiceWineTest, StartThenStopWaitsForTheProcess) {
  e2e::ConfigureStub(g_stub, "start_delay=300\nlinger=1500\n");
  ASSERT_EQ(0u, ServiceStart(cancel));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StubStatus().dwCurrentState);
  EXPECT_NE(std::string::npos, e2e::StubLog(g_stub).find("args kvvpnservice"));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, ServiceStop(cancel));
  EXPECT_GE(Seconds(start), 1.4);
  const std::string log = e2e::StubLog(g_stub);
  EXPECT_EQ("exit\n", log.substr(log.size() - 5));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StubStatus().dwCurrentState);
}

TEST_F(ServiceWineTest, StartWhenRunningSendsNothing) {
  ASSERT_EQ(0u, ServiceStart(cancel));
  const auto before = e2e::StubLog(g_stub);
  EXPECT_EQ(0u, ServiceStart(cancel));
  EXPECT_EQ(before, e2e::StubLog(g_stub));
  EXPECT_EQ(0u, ServiceStop(cancel));
}

TEST_F(ServiceWineTest, StartFromStopPendingWaitsForStoppedFirst) {
  e2e::ConfigureStub(g_stub, "stop_delay=1500\n");
  ASSERT_EQ(0u, ServiceStart(cancel));
  ASSERT_TRUE(e2e::ControlStub(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(WaitStubState(SERVICE_STOP_PENDING));
  EXPECT_EQ(0u, ServiceStart(cancel));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StubStatus().dwCurrentState);
  EXPECT_EQ(0u, ServiceStop(cancel));
}

TEST_F(ServiceWineTest, StopFromStartPendingWaitsForRunningFirst) {
  e2e::ConfigureStub(g_stub, "start_delay=1500\n");
  ASSERT_TRUE(StartServiceW(OpenStubService(SERVICE_START).Get(), 0, nullptr));
  ASSERT_TRUE(WaitStubState(SERVICE_START_PENDING));
  EXPECT_EQ(0u, ServiceStop(cancel));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StubStatus().dwCurrentState);
  EXPECT_NE(std::string::npos, e2e::StubLog(g_stub).find("state 4"));
}

TEST_F(ServiceWineTest, ServiceThatNeverStopsTimesOutWithinTheBudget) {
  e2e::ConfigureStub(g_stub, "never_stop=1\n");
  ASSERT_EQ(0u, ServiceStart(cancel));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ERROR_TIMEOUT, ServiceStop(cancel));
  const double took = Seconds(start);
  EXPECT_GE(took, 19.0);
  EXPECT_LT(took, 30.0);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: kv_service_wine_tests STUB_SERVICE_EXE\n");
    return 2;
  }
  g_stub = argv[1];
  std::replace(g_stub.begin(), g_stub.end(), L'/', L'\\');  // as CMake on Windows names it
  if (!e2e::InstallStubService(g_stub)) {
    std::fprintf(stderr, "cannot install the stub service: %lu\n", GetLastError());
    return 2;
  }
  const int result = RUN_ALL_TESTS();
  e2e::RemoveStubService();
  return result;
}
