// The log library binding against a recording log.dll: on Windows (under
// Wine) with the real loader, on the host through the stand-in's loader.
#include "logging/LogDLL.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "file/TextFile.h"

#ifndef _WIN32
#include <filesystem>

#include "StandIn.h"
#endif

// Allocations of exactly this size fail while it is non-zero: the binding's
// path buffer, to run a load out of memory.
std::atomic<std::size_t> g_failAllocationOf{0};

void *operator new(std::size_t size) {
  if (size != 0 && size == g_failAllocationOf.load()) {
    throw std::bad_alloc();
  }
  if (void *memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}
// The pair of the replacement above, which allocates with malloc; GCC
// cannot see that once the two are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void *memory) noexcept {
  std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

std::string g_full;            // the recording library, every export
std::string g_partial;         // the same, with LogRemoveModule alone
std::string g_folder;          // the program's folder, as a path of this build's file system
std::wstring g_windowsFolder;  // the same folder as the program itself sees it

std::string CallsPath() {
  return g_folder + "/log-calls.txt";
}

std::vector<std::string> Recorded() {
  std::ifstream in(CallsPath());
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

std::size_t CountOf(const std::vector<std::string> &lines, const std::string &prefix) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
    return line.compare(0, prefix.size(), prefix) == 0;
  }));
}

void CopyLibrary(const std::string &from, const std::string &folder) {
#ifdef _WIN32
  CreateDirectoryA(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileA(from.c_str(), (folder + "\\log.dll").c_str(), FALSE)) << GetLastError();
#else
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(from, folder + "/log.dll", std::filesystem::copy_options::overwrite_existing);
#endif
}

void RemoveLibrary(const std::string &folder) {
  std::remove((folder + "/log.dll").c_str());
}

std::string ProgramModule() {
  return std::to_string(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));
}

std::int32_t WriteOne(logging::CLogDLLRef &log) {
  std::int32_t detail = 4;
  return log->Write(0, &detail, GetModuleHandleW(nullptr), L"Test", L"entry %s", L"one");
}

class LogDLLTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    standin::Reset();
    standin::SetDriveRoot(g_folder.substr(0, g_folder.size() - 5));  // g_folder is <root>/tool
    standin::SetProgramPath(g_windowsFolder + L"\\kv_logging_tests.exe");
#endif
    std::remove(CallsPath().c_str());
    RemoveLibrary(g_folder);
    ASSERT_FALSE(logging::CLogDLLRef::IsLive());
  }

  void TearDown() override {
    RemoveLibrary(g_folder);
    EXPECT_FALSE(logging::CLogDLLRef::IsLive());
#ifndef _WIN32
    EXPECT_EQ(0u, standin::LoadedModuleCount());
#endif
  }
};

const std::vector<std::string> kTeardown = {"LogDeinit", "LogUninitQuillstat",
                                            "LogRemoveModule logging::CLogDLL::~CLogDLL", "unload"};

TEST_F(LogDLLTest, WithoutALibraryWritesAnswerNoInterface) {
  {
    logging::CLogDLLRef log;
    EXPECT_TRUE(logging::CLogDLLRef::IsLive());
    ASSERT_NE(nullptr, log.Get());
    EXPECT_EQ(E_NOINTERFACE, WriteOne(log));
  }
  EXPECT_EQ(std::vector<std::string>{}, Recorded());
#ifndef _WIN32
  // Looked for in the process, then beside the program only.
  EXPECT_EQ((std::vector<std::string>{"GetModuleHandleExW(0x0,\"log.dll\")->null",
                                      "GetModuleFileNameW(null,32767)->\"C:\\tool\\kv_logging_tests.exe\"",
                                      "LoadLibraryExW(\"C:\\tool\\log.dll\",0x900)->null"}),
            standin::Calls());
#endif
}

TEST_F(LogDLLTest, LoadsBesideTheProgramWritesAndTearsDownInOrder) {
  CopyLibrary(g_full, g_folder);
  {
    logging::CLogDLLRef log;
    EXPECT_EQ(7, WriteOne(log));
  }
  const auto lines = Recorded();
  ASSERT_EQ(7u, lines.size()) << ::testing::PrintToString(lines);
#ifdef _WIN32
  EXPECT_EQ("load " + g_folder + "\\log.dll", lines[0]);
#else
  EXPECT_EQ("load " + g_folder + "/log.dll", lines[0]);
#endif
  EXPECT_EQ("LogInit", lines[1]);
  EXPECT_EQ("LogWrite 0 4 " + ProgramModule() + " Test [entry %s] one", lines[2]);
  EXPECT_EQ(kTeardown, std::vector<std::string>(lines.begin() + 3, lines.end()));
#ifndef _WIN32
  std::vector<std::string> lookups;
  for (const std::string &call : standin::Calls()) {
    if (call.rfind("GetProcAddress(", 0) == 0 || call.rfind("FreeLibrary(", 0) == 0) {
      lookups.push_back(call.substr(0, call.find("->")));
    }
  }
  std::vector<std::string> expected;
  for (const char *name :
       {"LogInit", "LogApplySettings", "LogSetSettingsFile", "LogEnable", "LogSetLevel", "LogSetPath",
        "LogSetType", "LogSetMode", "LogSetMaxSize", "LogSetDepth", "LogWrite", "LogIsEnabled",
        "LogMonitorSettings", "LogGetLevel", "LogUninitQuillstat", "LogTrackEvent", "LogTrackEventData",
        "LogRemoveModule", "LogDeinit"}) {
    expected.push_back(std::string("GetProcAddress(m1,\"") + name + "\")");
  }
  expected.push_back("FreeLibrary(m1)");
  EXPECT_EQ(expected, lookups);
#endif
}

TEST_F(LogDLLTest, MissingExportsAreSkipped) {
  CopyLibrary(g_partial, g_folder);
  {
    logging::CLogDLLRef log;
    EXPECT_EQ(E_NOINTERFACE, WriteOne(log));
  }
  const auto lines = Recorded();
  ASSERT_EQ(3u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_EQ(0u, lines[0].find("load "));
  EXPECT_EQ("LogRemoveModule logging::CLogDLL::~CLogDLL", lines[1]);
  EXPECT_EQ("unload", lines[2]);
}

TEST_F(LogDLLTest, ReferencesAreCountedAcrossHolders) {
  CopyLibrary(g_full, g_folder);
  {
    logging::CLogDLLRef outer;
    outer.Attach();  // a holder may take more than one reference
    {
      logging::CLogDLLRef inner;
      EXPECT_EQ(outer.Get(), inner.Get());
    }
    EXPECT_TRUE(logging::CLogDLLRef::IsLive());
    EXPECT_EQ(0u, CountOf(Recorded(), "LogDeinit"));
  }
  EXPECT_FALSE(logging::CLogDLLRef::IsLive());
  const auto lines = Recorded();
  EXPECT_EQ(1u, CountOf(lines, "load "));
  EXPECT_EQ(1u, CountOf(lines, "LogInit"));
  EXPECT_EQ(1u, CountOf(lines, "unload"));
}

TEST_F(LogDLLTest, TwoHoldersInARowLoadAndUnloadTwice) {
  CopyLibrary(g_full, g_folder);
  { logging::CLogDLLRef first; }
  { logging::CLogDLLRef second; }
  const auto lines = Recorded();
  ASSERT_EQ(12u, lines.size()) << ::testing::PrintToString(lines);
  for (std::size_t round = 0; round < 2; ++round) {
    EXPECT_EQ(0u, lines[round * 6].find("load "));
    EXPECT_EQ("LogInit", lines[round * 6 + 1]);
    EXPECT_EQ(kTeardown, std::vector<std::string>(lines.begin() + static_cast<long>(round * 6 + 2),
                                                  lines.begin() + static_cast<long>(round * 6 + 6)));
  }
}

TEST_F(LogDLLTest, LibraryAlreadyInTheProcessIsUsedNotLoadedAgain) {
  CopyLibrary(g_full, g_folder);
  const std::string elsewhere = g_folder + "/elsewhere";
  CopyLibrary(g_full, elsewhere);
  const std::wstring elsewherePath = g_windowsFolder + L"\\elsewhere\\log.dll";
  HMODULE own = LoadLibraryW(elsewherePath.c_str());
  ASSERT_NE(nullptr, own);
  {
    logging::CLogDLLRef log;
    EXPECT_EQ(7, WriteOne(log));
  }
  auto lines = Recorded();
  ASSERT_EQ(6u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_NE(std::string::npos, lines[0].find("elsewhere")) << lines[0];
  EXPECT_EQ("LogInit", lines[1]);
  EXPECT_EQ(0u, lines[2].find("LogWrite "));
  // Teardown gave back only the binding's reference: still loaded.
  EXPECT_EQ(std::vector<std::string>(kTeardown.begin(), kTeardown.end() - 1),
            std::vector<std::string>(lines.begin() + 3, lines.end()));
  FreeLibrary(own);
  EXPECT_EQ("unload", Recorded().back());
#ifdef _WIN32
  DeleteFileW(elsewherePath.c_str());
  RemoveDirectoryW((g_windowsFolder + L"\\elsewhere").c_str());
#else
  std::filesystem::remove_all(elsewhere);
  for (const std::string &call : standin::Calls()) {
    EXPECT_EQ(std::string::npos, call.find("LoadLibraryExW(\"C:\\tool\\log.dll\"")) << call;
  }
#endif
}

TEST_F(LogDLLTest, LoadThatRunsOutOfMemoryLeavesTheBindingUsable) {
  CopyLibrary(g_full, g_folder);
  g_failAllocationOf = 32767 * sizeof(wchar_t);
  EXPECT_THROW(logging::CLogDLLRef failed, std::bad_alloc);
  g_failAllocationOf = 0;
  EXPECT_FALSE(logging::CLogDLLRef::IsLive());
  // Bounded: a lock left taken would keep this attach waiting for ever.
  auto done = std::make_shared<std::promise<std::int32_t>>();
  std::thread([done] {
    std::int32_t written = 0;
    {
      logging::CLogDLLRef log;
      written = WriteOne(log);
    }
    done->set_value(written);
  }).detach();
  auto result = done->get_future();
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(7, result.get());
}

struct FailedOpen {
  const char *name;
  std::wstring path;  // under the program's folder
  bool write;
  DWORD error;
  const char *content;  // the file is made with these bytes first, if set
  bool readOnly;
};

void SetReadOnly(const std::string &path, bool readOnly) {
#ifdef _WIN32
  SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
#else
  std::error_code ignored;
  std::filesystem::permissions(
      path, readOnly ? std::filesystem::perms::owner_read : std::filesystem::perms::owner_all, ignored);
#endif
}

class FailedOpenTest : public LogDLLTest, public ::testing::WithParamInterface<FailedOpen> {
 protected:
  std::wstring Path() const { return g_windowsFolder + GetParam().path; }
  std::string FilePath() const {
    std::string path = g_folder;
    for (wchar_t c : GetParam().path) {
      path += c == L'\\' ? '/' : static_cast<char>(c);
    }
    return path;
  }

  void SetUp() override {
    LogDLLTest::SetUp();
    if (GetParam().content) {
      std::ofstream(FilePath(), std::ios::binary) << GetParam().content;
      SetReadOnly(FilePath(), GetParam().readOnly);
    }
  }

  void TearDown() override {
    if (GetParam().content) {
      SetReadOnly(FilePath(), false);
      std::remove(FilePath().c_str());
    }
    LogDLLTest::TearDown();
  }

  void Call() {
    SetLastError(0);
    if (GetParam().write) {
      EXPECT_EQ(-1, FileWriteAllText(Path().c_str(), L"text"));
      EXPECT_EQ(GetParam().error, GetLastError());  // the open's, logged or not
    } else {
      EXPECT_EQ(L"", FileReadAllText(Path().c_str()));
    }
  }
};

TEST_P(FailedOpenTest, LogsOneEntryOnlyWhileAReferenceIsHeld) {
  CopyLibrary(g_full, g_folder);
  Call();
  EXPECT_EQ(std::vector<std::string>{}, Recorded());  // not loaded, nothing written
  {
    logging::CLogDLLRef held;
    Call();
  }
  const auto lines = Recorded();
  ASSERT_EQ(1u, CountOf(lines, "LogWrite ")) << ::testing::PrintToString(lines);
  std::string path;
  for (wchar_t c : Path()) {
    path += static_cast<char>(c);
  }
  const std::string function = GetParam().write ? "FileWriteAllText" : "FileReadAllText";
  EXPECT_EQ("LogWrite 0 4 " + ProgramModule() + " " + function + " [Cannot open %s] " + path, lines[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedOpenTest,
    ::testing::Values(FailedOpen{"ReadMissingFile", L"\\missing.xml", false, 0, nullptr, false},
                      // Refused as if it could not be opened.
                      FailedOpen{"ReadBigEndianFile", L"\\big-endian.xml", false, 0, "\xFE\xFF", false},
                      FailedOpen{"WriteIntoMissingFolder", L"\\missing\\kvvpn.xml", true,
                                 ERROR_PATH_NOT_FOUND, nullptr, false},
                      FailedOpen{"WriteOverReadOnlyFile", L"\\read-only.xml", true, ERROR_ACCESS_DENIED,
                                 "<kvvpn/>", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(LogDLLTest, ConcurrentHoldersShareOneInstanceAndEndUnloaded) {
  CopyLibrary(g_full, g_folder);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 150; ++i) {
        logging::CLogDLLRef log;
        if ((i + t) % 3 == 0) {
          log.Attach();
        }
        EXPECT_TRUE(logging::CLogDLLRef::IsLive());
        EXPECT_EQ(7, WriteOne(log));
      }
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  const auto lines = Recorded();
  // Loads and teardowns strictly alternate: never two instances at once.
  int loaded = 0;
  for (const std::string &line : lines) {
    if (line.rfind("load ", 0) == 0 || line == "LogInit") {
      EXPECT_EQ(line == "LogInit" ? 1 : 0, loaded) << line;
      loaded = line == "LogInit" ? 2 : 1;
    } else if (line == "LogDeinit") {
      EXPECT_EQ(2, loaded);
      loaded = 3;
    } else if (line == "unload") {
      EXPECT_EQ(3, loaded);
      loaded = 0;
    } else if (line.rfind("LogWrite ", 0) == 0) {
      EXPECT_EQ(2, loaded) << "an entry outside a live instance";
    }
  }
  EXPECT_EQ(0, loaded);
  EXPECT_EQ(900u, CountOf(lines, "LogWrite "));
  EXPECT_GE(CountOf(lines, "LogInit"), 1u);
  EXPECT_EQ(CountOf(lines, "LogInit"), CountOf(lines, "LogDeinit"));
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: kv_logging_tests FULL_LIBRARY PARTIAL_LIBRARY\n");
    return 2;
  }
  g_full = argv[1];
  g_partial = argv[2];
#ifdef _WIN32
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  g_folder = path;
  g_folder = g_folder.substr(0, g_folder.rfind('\\'));
  g_windowsFolder.assign(g_folder.begin(), g_folder.end());
  _putenv(("KV_TEST_LOG_CALLS=" + CallsPath()).c_str());
#else
  // The stand-in's program lives in C:\tool, under a fresh drive root.
  char root[] = "/tmp/kv-logging.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 2;
  }
  g_folder = std::string(root) + "/tool";
  std::filesystem::create_directories(g_folder);
  g_windowsFolder = L"C:\\tool";
  setenv("KV_TEST_LOG_CALLS", CallsPath().c_str(), 1);
#endif
  const int result = RUN_ALL_TESTS();
#ifndef _WIN32
  std::filesystem::remove_all(root);
#endif
  return result;
}
