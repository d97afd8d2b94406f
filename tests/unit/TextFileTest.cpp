#include "file/TextFile.h"

#include <gtest/gtest.h>

#include "TestFiles.h"
#ifndef _WIN32
#include "platform/standin/StandIn.h"
#endif

namespace {

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    standin::Reset();
#endif
  }

  // Only the named file remains in the folder: no temporary left over.
  void ExpectOnly(const std::wstring &name) {
    ASSERT_EQ(1u, folder.Names().size());
    EXPECT_EQ(name, folder.Names().front());
  }

  TestFolder folder;
};

TEST_F(TextFileTest, ReadsWholeFileDecoded) {
  std::string bytes = "\xEF\xBB\xBF<a>\r\n";
  for (int i = 0; i < 20000; ++i) {
    bytes += "line \xC3\xA9 " + std::to_string(i) + "\r\n";  // spans many read chunks
  }
  folder.Write(L"s.xml", bytes);
  std::wstring expected = L"<a>\n";
  for (int i = 0; i < 20000; ++i) {
    expected += L"line \u00e9 " + std::to_wstring(i) + L"\n";
  }
  EXPECT_EQ(expected, FileReadAllText(folder.Path(L"s.xml").c_str()));
}

TEST_F(TextFileTest, ReadFailuresGiveEmptyText) {
  folder.Write(L"be.xml", "\xFE\xFF\x00<");
  folder.Write(L"held.xml", "<held/>");
  WriterElsewhere writer(folder.Path(L"held.xml"));
  for (const std::wstring &path : {folder.Path(L"missing.xml"), folder.Path(L"no-folder") + L"/x.xml",
                                   folder.Path(L"be.xml"), folder.Path(L"held.xml")}) {
    EXPECT_EQ(L"", FileReadAllText(path.c_str()));
  }
}

struct WriteCase {
  const char *name;
  std::wstring text;
  std::string bytes;
};

class WriteBytesTest : public TextFileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteBytesTest, WritesExactBytesOverLongerFile) {
  folder.Write(L"s.xml", std::string(5000, 'x'));
  ASSERT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), GetParam().text));
  EXPECT_EQ(GetParam().bytes, folder.Read(L"s.xml"));
  ExpectOnly(L"s.xml");
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteBytesTest,
                         ::testing::Values(WriteCase{"Empty", L"", "\xEF\xBB\xBF"},
                                           WriteCase{"Lines", L"a\nb",
                                                     "\xEF\xBB\xBF"
                                                     "a\r\nb"},
                                           WriteCase{"CrLf", L"a\r\nb",
                                                     "\xEF\xBB\xBF"
                                                     "a\r\r\nb"},
                                           WriteCase{"Accent", L"\u00e9", "\xEF\xBB\xBF\xC3\xA9"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TextFileTest, CreatesMissingFileAndReadsItBack) {
  const std::wstring text = L"<r>\n  <settings a=\"\u00e9\"/>\n</r>\n";
  ASSERT_EQ(0, FileWriteAllText(folder.Path(L"new.xml").c_str(), text));
  EXPECT_EQ(text, FileReadAllText(folder.Path(L"new.xml").c_str()));
  ExpectOnly(L"new.xml");
}

TEST_F(TextFileTest, MissingFolderFailsAndCreatesNothing) {
  const std::wstring path = folder.Path(L"no-folder") + L"/x.xml";
  SetLastError(0);
  EXPECT_EQ(-1, FileWriteAllText(path.c_str(), L"x"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_TRUE(folder.Names().empty());
}

TEST_F(TextFileTest, ReadOnlyFileIsRefusedAndKept) {
  folder.Write(L"s.xml", "original");
  folder.MakeReadOnly(L"s.xml");
  SetLastError(0);
  EXPECT_EQ(-1, FileWriteAllText(folder.Path(L"s.xml").c_str(), L"new"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ("original", folder.Read(L"s.xml"));
  ExpectOnly(L"s.xml");
}

TEST_F(TextFileTest, FileHeldByAWriterIsASharingViolation) {
  folder.Write(L"s.xml", "original");
  {
    WriterElsewhere writer(folder.Path(L"s.xml"));
    SetLastError(0);
    EXPECT_EQ(-1, FileWriteAllText(folder.Path(L"s.xml").c_str(), L"new"));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, GetLastError());
  }
  EXPECT_EQ("original", folder.Read(L"s.xml"));
  ExpectOnly(L"s.xml");
}

#ifndef _WIN32
// Failures after the open, which the system only gives on a full or broken
// disk: the stand-in injects them.
struct FaultCase {
  const char *name;
  standin::FileFaults faults;
  DWORD error;
};

standin::FileFaults Faults(std::int64_t writeLimit, DWORD flush, DWORD close, DWORD move) {
  standin::FileFaults faults;
  faults.writeLimit = writeLimit;
  faults.writeError = ERROR_DISK_FULL;
  faults.flushError = flush;
  faults.closeError = close;
  faults.moveError = move;
  return faults;
}

class WriteFaultTest : public TextFileTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(WriteFaultTest, OriginalSurvivesAndErrorIsReported) {
  const std::string original = "\xEF\xBB\xBF<settings>old</settings>";
  folder.Write(L"s.xml", original);
  standin::SetFileFaults(GetParam().faults);
  SetLastError(0);
  EXPECT_EQ(-1, FileWriteAllText(folder.Path(L"s.xml").c_str(), std::wstring(100000, L'n')));
  EXPECT_EQ(GetParam().error, GetLastError());
  EXPECT_EQ(original, folder.Read(L"s.xml"));
  ExpectOnly(L"s.xml");
  EXPECT_EQ(0u, standin::OpenHandleCount());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteFaultTest,
    ::testing::Values(FaultCase{"DiskFullAtOnce", Faults(0, 0, 0, 0), ERROR_DISK_FULL},
                      FaultCase{"DiskFullMidway", Faults(4096, 0, 0, 0), ERROR_DISK_FULL},
                      FaultCase{"FlushFails", Faults(-1, ERROR_WRITE_FAULT, 0, 0), ERROR_WRITE_FAULT},
                      FaultCase{"CloseFails", Faults(-1, 0, ERROR_HANDLE_DISK_FULL, 0),
                                ERROR_HANDLE_DISK_FULL},
                      FaultCase{"ReplaceFails", Faults(-1, 0, 0, ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TextFileTest, ShortWritesAreContinued) {
  standin::FileFaults faults;
  faults.writeChunk = 7;
  standin::SetFileFaults(faults);
  const std::wstring text(1000, L'\n');
  ASSERT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), text));
  std::string expected = "\xEF\xBB\xBF";
  for (int i = 0; i < 1000; ++i) {
    expected += "\r\n";
  }
  EXPECT_EQ(expected, folder.Read(L"s.xml"));
}

TEST_F(TextFileTest, OpensWithTheSharingOfAReaderAndAWriter) {
  folder.Write(L"s.xml", "\xEF\xBB\xBFtext");
  const std::wstring path = folder.Path(L"s.xml");
  FileReadAllText(path.c_str());
  FileWriteAllText(path.c_str(), L"x");
  const std::string p = standin::Narrow(path);
  const std::vector<std::string> expected = {
      "CreateFileW(\"" + p + "\",0x80000000,0x1,3,0x80)",
      "CreateFileW(\"" + p + "\",0x40000000,0x1,3,0x80)",
      "CreateFileW(\"" + p + ".kvmigrate-new\",0x40000000,0x0,2,0x80)",
      "MoveFileExW(\"" + p + ".kvmigrate-new\",\"" + p + "\",0x9)",
  };
  EXPECT_EQ(expected, standin::Calls());
}
#endif

}  // namespace
