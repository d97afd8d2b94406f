#include "file/TextFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "TestFiles.h"
#include "file/NativeOpen.h"
#ifndef _WIN32
#include "StandIn.h"
#endif

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
  HeldOpen writer(folder.Path(L"held.xml"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(writer.IsOpen());
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

// Writing over an existing file: refused exactly where a writer's open is
// refused, leaving it untouched; otherwise the same file, rewritten.
struct OpenCase {
  const char *name;
  DWORD attributes;  // set on the file first (0: none)
  DWORD heldAccess;  // held open by someone else meanwhile (0: not held)
  DWORD heldShare;
  DWORD error;  // 0: the write succeeds
};

class WriteOverTest : public TextFileTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(WriteOverTest, KeepsTheSameFileOrLeavesItUntouched) {
  const OpenCase &c = GetParam();
  const std::string original = "\xEF\xBB\xBF<settings>old and longer than the new text</settings>";
  folder.Write(L"s.xml", original);
  if (c.attributes != 0) {
    folder.SetAttributes(L"s.xml", c.attributes);
  }
  const DWORD attributes = folder.Attributes(L"s.xml") & kKeptAttributes;
  const std::string identity = folder.Identity(L"s.xml");
  std::int32_t result = 0;
  {
    std::optional<HeldOpen> held;
    if (c.heldAccess != 0) {
      held.emplace(folder.Path(L"s.xml"), c.heldAccess, c.heldShare);
      ASSERT_TRUE(held->IsOpen());
    }
    SetLastError(0);
    result = FileWriteAllText(folder.Path(L"s.xml").c_str(), L"<new/>");
    if (c.error != 0) {
      EXPECT_EQ(c.error, GetLastError());
    }
  }
  EXPECT_EQ(c.error == 0 ? 0 : -1, result);
  EXPECT_EQ(c.error == 0 ? "\xEF\xBB\xBF<new/>" : original, folder.Read(L"s.xml"));
  EXPECT_EQ(identity, folder.Identity(L"s.xml"));
  EXPECT_EQ(attributes, folder.Attributes(L"s.xml") & kKeptAttributes);
  folder.SetAttributes(L"s.xml", FILE_ATTRIBUTE_NORMAL);
  ExpectOnly(L"s.xml");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteOverTest,
    ::testing::Values(OpenCase{"Plain", 0, 0, 0, 0},
                      OpenCase{"HiddenAndSystem", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0, 0, 0},
                      // What fopen(path, "r") and TinyXML's LoadFile hold: no delete sharing.
                      OpenCase{"ReaderSharingWrite", 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
                      OpenCase{"ReadOnly", FILE_ATTRIBUTE_READONLY, 0, 0, ERROR_ACCESS_DENIED},
                      OpenCase{"ReaderNotSharingWrite", 0, GENERIC_READ, FILE_SHARE_READ,
                               ERROR_SHARING_VIOLATION},
                      OpenCase{"HeldByAWriter", 0, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               ERROR_SHARING_VIOLATION}),
    [](const auto &info) { return std::string(info.param.name); });

// The system's sharing rules, run alike against the stand-in and the real
// system: a second open, and a deletion, while a first handle is open.
struct SharingCase {
  const char *name;
  DWORD firstAccess;
  DWORD firstShare;
  DWORD secondAccess;  // 0: DeleteFileW instead of a second open
  DWORD secondShare;
  DWORD error;
};

class SharingTest : public TextFileTest, public ::testing::WithParamInterface<SharingCase> {};

TEST_P(SharingTest, AnswersAsTheSystemDoes) {
  const SharingCase &c = GetParam();
  folder.Write(L"f", "x");
  HeldOpen first(folder.Path(L"f"), c.firstAccess, c.firstShare);
  ASSERT_TRUE(first.IsOpen());
  SetLastError(0);
  if (c.secondAccess == 0) {
    EXPECT_EQ(c.error == 0, DeleteFileW(folder.Path(L"f").c_str()) != FALSE);
  } else {
    HeldOpen second(folder.Path(L"f"), c.secondAccess, c.secondShare);
    EXPECT_EQ(c.error == 0, second.IsOpen());
  }
  if (c.error != 0) {
    EXPECT_EQ(c.error, GetLastError());
  }
}

constexpr DWORD R = GENERIC_READ;
constexpr DWORD W = GENERIC_WRITE;
constexpr DWORD SR = FILE_SHARE_READ;
constexpr DWORD SRW = FILE_SHARE_READ | FILE_SHARE_WRITE;

INSTANTIATE_TEST_SUITE_P(
    Cases, SharingTest,
    ::testing::Values(SharingCase{"ReadersSharingRead", R, SR, R, SR, 0},
                      SharingCase{"WriterAfterReaderNotSharingWrite", R, SR, W, SR, ERROR_SHARING_VIOLATION},
                      SharingCase{"WriterAfterReaderSharingWrite", R, SRW, R | W, SR, 0},
                      SharingCase{"ReaderNotSharingWriteAfterWriter", W, SRW, R, SR, ERROR_SHARING_VIOLATION},
                      SharingCase{"ReaderAfterWriterSharingRead", W, SR, R, SRW, 0},
                      SharingCase{"TwoWriters", R | W, SR, R | W, SR, ERROR_SHARING_VIOLATION},
                      SharingCase{"DeleteWhileOpenWithoutDeleteSharing", R, SRW, 0, 0,
                                  ERROR_SHARING_VIOLATION},
                      SharingCase{"DeleteWhileOpenWithDeleteSharing", R, kShareAll, 0, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

#ifndef _WIN32
// What the system gives only on a full or broken disk, or through access
// rules Wine does not keep: the stand-in injects or models it.

class WriteFaultTest : public TextFileTest {
 protected:
  const std::string original = "\xEF\xBB\xBF<settings>the original, of some length</settings>";

  // Either the new text went in whole (0) or the original is back byte for
  // byte with the injected error (-1); nothing else stays in the folder.
  void ExpectWholeOldOrNew(const std::wstring &text, const standin::FileFaults &faults, DWORD error,
                           const std::string &context) {
    SCOPED_TRACE(context);
    folder.Write(L"s.xml", original);
    standin::SetFileFaults(faults);
    SetLastError(0);
    const std::int32_t result = FileWriteAllText(folder.Path(L"s.xml").c_str(), text);
    if (result == 0) {
      EXPECT_EQ(text, FileReadAllText(folder.Path(L"s.xml").c_str()));
    } else {
      EXPECT_EQ(-1, result);
      EXPECT_EQ(error, GetLastError());
      EXPECT_EQ(original, folder.Read(L"s.xml"));
    }
    ExpectOnly(L"s.xml");
    EXPECT_EQ(0u, standin::OpenHandleCount());
  }
};

TEST_F(WriteFaultTest, EveryFailurePointLeavesTheOldOrTheNewWhole) {
  for (const std::wstring &text : {std::wstring(200, L'n'), std::wstring(L"short")}) {
    standin::FileFaults clean;
    clean.writeChunk = 7;  // many write calls, each a point of failure
    ExpectWholeOldOrNew(text, clean, 0, "no failure");
    const standin::FileCallCounts counts = standin::FileCalls();
    ASSERT_GE(counts.writes, 10);
    for (int call = 1; call <= counts.writes; ++call) {
      standin::FileFaults faults = clean;
      faults.failWrites = {call};
      ExpectWholeOldOrNew(text, faults, faults.writeError, "write " + std::to_string(call));
    }
    for (int call = 1; call <= counts.endOfFile; ++call) {
      standin::FileFaults faults = clean;
      faults.failEndOfFile = {call};
      ExpectWholeOldOrNew(text, faults, faults.endOfFileError, "end of file " + std::to_string(call));
    }
    for (int call = 1; call <= counts.flushes; ++call) {
      standin::FileFaults faults = clean;
      faults.failFlushes = {call};
      ExpectWholeOldOrNew(text, faults, faults.flushError, "flush " + std::to_string(call));
    }
  }
}

TEST_F(WriteFaultTest, DiskFullPutsTheOriginalBackWithoutNewRoom) {
  const std::wstring longer(500, L'n');
  const std::int64_t growth = 3 + 500 - static_cast<std::int64_t>(original.size());
  const std::int64_t room[] = {0,  // not even for the copy beside it
                               static_cast<std::int64_t>(original.size()),
                               static_cast<std::int64_t>(original.size()) + growth / 2,
                               static_cast<std::int64_t>(original.size()) + growth - 1};
  for (std::int64_t free : room) {
    standin::FileFaults faults;
    faults.freeSpace = free;
    ExpectWholeOldOrNew(longer, faults, ERROR_DISK_FULL, "room " + std::to_string(free));
    EXPECT_EQ(original, folder.Read(L"s.xml"));
  }
  standin::FileFaults enough;
  enough.freeSpace = static_cast<std::int64_t>(original.size()) + growth;
  ExpectWholeOldOrNew(longer, enough, 0, "room enough");
  EXPECT_EQ(3u + 500u, folder.Read(L"s.xml").size());
}

TEST_F(WriteFaultTest, UnreadableOriginalIsNotOverwritten) {
  standin::FileFaults faults;
  faults.failReads = {1};
  ExpectWholeOldOrNew(L"new", faults, faults.readError, "read");
  EXPECT_EQ(original, folder.Read(L"s.xml"));
}

// The backup is open to SYSTEM and Administrators only, even where the
// original's access list would take in what the folder grants.
constexpr char kAdminsOnly[] = "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

TEST_F(WriteFaultTest, OriginalThatCannotGoBackStaysBesideIt) {
  folder.Write(L"s.xml", original);
  standin::SetFileDacl(folder.Path(L"s.xml"), "D:(A;;FRFW;;;BU)");
  standin::SetFolderInheritance(folder.Path(L""), "(A;OICI;FA;;;WD)");
  standin::FileFaults faults;
  faults.failWrites = {2, 3};  // the copy beside it is write 1; the new text 2; putting back 3
  standin::SetFileFaults(faults);
  EXPECT_EQ(-1, FileWriteAllText(folder.Path(L"s.xml").c_str(), std::wstring(100, L'n')));
  EXPECT_EQ(faults.writeError, GetLastError());
  EXPECT_EQ(original, folder.Read(L"s.xml.kvmigrate-backup"));
  EXPECT_EQ(kAdminsOnly, standin::FileDacl(folder.Path(L"s.xml.kvmigrate-backup")));
  EXPECT_EQ("D:(A;;FRFW;;;BU)", standin::FileDacl(folder.Path(L"s.xml")));
}

// The process ends at every write of a run: killed, or by a control
// event's default action. The backup's name never holds a partial copy; a
// control event waits until the file is whole again (the original or the
// new text), and a kill that leaves it mixed leaves the whole backup.
TEST_F(WriteFaultTest, EndingAtAnyWriteLeavesWholeFilesUnderTheirNames) {
  const std::wstring text(100, L'n');
  const std::string written = "\xEF\xBB\xBF" + std::string(100, 'n');
  for (const DWORD by : {standin::kKilled, CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) {
    for (int at = 1;; ++at) {
      SCOPED_TRACE("ended by " + std::to_string(by) + " at write " + std::to_string(at));
      standin::Reset();
      folder.Write(L"s.xml", original);
      standin::FileFaults faults;
      faults.writeChunk = 7;
      faults.endAtWrite = at;
      faults.endBy = by;
      standin::SetFileFaults(faults);
      std::string settings;
      std::optional<std::string> backup;
      standin::OnProcessEnd([&] {
        settings = folder.Read(L"s.xml");
        if (folder.Exists(L"s.xml.kvmigrate-backup")) {
          backup = folder.Read(L"s.xml.kvmigrate-backup");
        }
      });
      ASSERT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), text));
      if (!standin::AwaitProcessEnd()) {
        EXPECT_GT(at, 10);  // past the run's last write
        break;
      }
      EXPECT_TRUE(!backup || *backup == original);
      if (by == standin::kKilled) {
        EXPECT_TRUE(settings == original || settings == written || backup);
      } else {
        EXPECT_EQ(written, settings);
        EXPECT_FALSE(backup);
      }
      EXPECT_EQ(0u, standin::ControlHandlerCount());
    }
  }
}

// A link planted at the backup's names (by whoever may write to the
// folder) is not followed: the backup is not made, nothing is created where
// the link points, and the file is written as without a backup. The
// temporary name is cleared first, so a link there is planted just before
// it is created.
TEST_F(TextFileTest, LinksAtTheBackupsNamesAreNotFollowed) {
  for (const std::wstring suffix : {L"", L"-incomplete"}) {
    const std::wstring link = folder.Path(L"s.xml.kvmigrate-backup" + suffix);
    SCOPED_TRACE(standin::Narrow(link));
    standin::Reset();
    folder.Write(L"s.xml", "\xEF\xBB\xBFold");
    const auto plant = [&link] { std::filesystem::create_symlink("planted", link); };
    if (suffix.empty()) {
      plant();
    } else {
      // As the copy is created, after any leftover was looked at.
      standin::OnCall([&](const std::string &line) {
        if (line.rfind("NtCreateFile(", 0) == 0 && line.find("-incomplete\",") != std::string::npos &&
            line.find(",2,") != std::string::npos) {
          plant();
        }
      });
    }
    EXPECT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), L"new"));
    EXPECT_EQ("\xEF\xBB\xBFnew", folder.Read(L"s.xml"));
    EXPECT_FALSE(folder.Exists(L"planted"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    std::filesystem::remove(link);
    EXPECT_EQ(1u, folder.Names().size());
  }
}
TEST_F(WriteFaultTest, FailedNewFileIsRemoved) {
  standin::FileFaults faults;
  faults.failWrites = {1};
  standin::SetFileFaults(faults);
  EXPECT_EQ(-1, FileWriteAllText(folder.Path(L"new.xml").c_str(), L"text"));
  EXPECT_EQ(faults.writeError, GetLastError());
  EXPECT_TRUE(folder.Names().empty());
}

TEST_F(WriteFaultTest, FailingCloseAfterTheFlushKeepsTheNewText) {
  folder.Write(L"s.xml", original);
  standin::FileFaults faults;
  faults.closeError = ERROR_HANDLE_DISK_FULL;
  standin::SetFileFaults(faults);
  EXPECT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), L"new"));
  EXPECT_EQ("\xEF\xBB\xBFnew", folder.Read(L"s.xml"));
}

TEST_F(TextFileTest, KeepsAnExplicitAccessListAndWritesInAFolderThatTakesNoNewFiles) {
  folder.Write(L"s.xml", "\xEF\xBB\xBFold");
  standin::SetFileDacl(folder.Path(L"s.xml"), "D:P(A;;FRFW;;;BU)");
  std::filesystem::permissions(folder.Path(L""),
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  EXPECT_EQ(0, FileWriteAllText(folder.Path(L"s.xml").c_str(), L"new"));
  std::filesystem::permissions(folder.Path(L""), std::filesystem::perms::owner_all);
  EXPECT_EQ("\xEF\xBB\xBFnew", folder.Read(L"s.xml"));
  EXPECT_EQ("D:P(A;;FRFW;;;BU)", standin::FileDacl(folder.Path(L"s.xml")));
  ExpectOnly(L"s.xml");
}

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

// Full paths in the form the native calls take.
TEST(NtPathNameTest, NamesEachKindOfPath) {
  const std::pair<std::wstring, std::wstring> rows[] = {
      {L"C:\\Program Files\\N\\", L"\\??\\C:\\Program Files\\N\\"},
      {L"\\\\?\\C:\\N", L"\\??\\C:\\N"},
      {L"\\\\.\\C:\\N", L"\\??\\C:\\N"},
      {L"\\\\?\\UNC\\server\\share\\N", L"\\??\\UNC\\server\\share\\N"},
      {L"\\\\server\\share\\N", L"\\??\\UNC\\server\\share\\N"},
  };
  for (const auto &[path, native] : rows) {
    EXPECT_EQ(native, NtPathName(path));
  }
}

// The folder is opened once per call, by its path; the file and its copy
// relative to it, and the copy renamed and removed through its handle. No
// open waits for an oplock's break (0x100).
TEST_F(TextFileTest, OpensWithTheSharingOfAReaderAndAWriter) {
  folder.Write(L"s.xml", "\xEF\xBB\xBFtext");
  const std::wstring path = folder.Path(L"s.xml");
  FileReadAllText(path.c_str());
  FileWriteAllText(path.c_str(), L"x");
  const std::string dir =
      "NtCreateFile(null,\"\\??\\" + standin::Narrow(folder.Path(L"")) + "\",0x80100000,0x3,1,0x120)";
  const std::vector<std::string> expected = {
      dir,
      "NtCreateFile(h1,\"s.xml\",0x80100000,0x1,1,0x160)",
      dir,
      "NtCreateFile(h4,\"s.xml\",0xc0100000,0x1,1,0x160)",
      "NtCreateFile(h4,\"s.xml.kvmigrate-backup-incomplete\",0x110080,0x7,1,0x200160)",
      "NtCreateFile(h4,\"s.xml.kvmigrate-backup-incomplete\",0x40110000,0x0,2,0x200160)",
      "NtSetInformationFile(h7,rename,\"s.xml.kvmigrate-backup\",0)",
      "NtSetInformationFile(h7,delete)",
  };
  std::vector<std::string> files;
  for (const std::string &call : standin::Calls()) {
    if (call.rfind("Nt", 0) == 0 || call.rfind("CreateFileW", 0) == 0 || call.rfind("DeleteFileW", 0) == 0 ||
        call.rfind("MoveFileExW", 0) == 0) {
      files.push_back(call);
    }
  }
  EXPECT_EQ(expected, files);
}

// What someone who may write to the settings folder could have planted in
// it, in a folder that only the system and administrators may change, or
// that users may: nothing outside the folder is touched, a file swapped in
// after the read is not written, and a copy is made only where nobody else
// could have planted anything.
enum class Plant {
  Nothing,
  LinkAtFile,
  HardLinkAtFile,
  LinkAtIncomplete,
  PlainIncomplete,
  ObjectLinkAtFile,
  ObjectLinkAtIncomplete,
  ObjectLinkAtBackup,
  SwapBeforeWrite,
  LinkAboveFolder,
};

struct FolderCase {
  const char *name;
  bool trusted;
  Plant plant;
  bool read;         // the old text is read
  DWORD writeError;  // 0: the new text is written
  bool backedUp;     // a copy was made beside the file
};

class FolderTest : public TextFileTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(FolderTest, NothingOutsideIsTouched) {
  namespace fs = std::filesystem;
  const FolderCase &c = GetParam();
  TestFolder outside;
  outside.Write(L"victim", "victim");
  const std::wstring victim = outside.Path(L"victim");
  const std::wstring incomplete = folder.Path(L"s.xml.kvmigrate-backup-incomplete");
  std::wstring path = folder.Path(L"s.xml");
  folder.Write(L"s.xml", "\xEF\xBB\xBFold text");
  if (!c.trusted) {
    standin::SetFileDacl(folder.Path(L""), "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  }
  switch (c.plant) {
  case Plant::LinkAtFile:
  case Plant::HardLinkAtFile:
    fs::remove(path);
    c.plant == Plant::LinkAtFile ? fs::create_symlink(victim, path) : fs::create_hard_link(victim, path);
    break;
  case Plant::LinkAtIncomplete:
    fs::create_symlink(victim, incomplete);
    break;
  case Plant::PlainIncomplete:
    folder.Write(L"s.xml.kvmigrate-backup-incomplete", "partial");
    break;
  case Plant::ObjectLinkAtFile:
  case Plant::ObjectLinkAtIncomplete:
  case Plant::ObjectLinkAtBackup:
    standin::SetObjectLink(c.plant == Plant::ObjectLinkAtFile ? path
                           : c.plant == Plant::ObjectLinkAtIncomplete
                               ? incomplete
                               : folder.Path(L"s.xml.kvmigrate-backup"),
                           victim);
    break;
  case Plant::LinkAboveFolder:
    fs::create_directory_symlink(folder.Path(L""), outside.Path(L"moved"));
    path = outside.Path(L"moved") + L"/s.xml";
    break;
  default:
    break;
  }
  {
    CTextFile file(path.c_str());
    EXPECT_EQ(c.read ? L"old text" : L"", file.ReadAllText());
    if (c.plant == Plant::SwapBeforeWrite) {
      folder.Write(L"other", "\xEF\xBB\xBFswapped in");
      fs::rename(folder.Path(L"other"), path);
    }
    SetLastError(0);
    EXPECT_EQ(c.writeError == 0 ? 0 : -1, file.WriteAllText(L"new"));
    if (c.writeError != 0) {
      EXPECT_EQ(c.writeError, GetLastError());
    }
  }
  EXPECT_EQ("victim", outside.Read(L"victim"));
  const std::string settings = c.plant == Plant::SwapBeforeWrite ? "\xEF\xBB\xBFswapped in"
                               : c.writeError == 0               ? "\xEF\xBB\xBFnew"
                                                                 : "victim";
  EXPECT_EQ(settings, folder.Read(L"s.xml"));
  const auto &calls = standin::Calls();
  EXPECT_EQ(c.backedUp, std::any_of(calls.begin(), calls.end(), [](const std::string &call) {
              return call.find(",rename,\"s.xml.kvmigrate-backup\",0)") != std::string::npos;
            }));
  EXPECT_FALSE(folder.Exists(L"s.xml.kvmigrate-backup"));
  EXPECT_EQ(c.plant == Plant::LinkAtIncomplete ? fs::file_type::symlink : fs::file_type::not_found,
            fs::symlink_status(incomplete).type());
  EXPECT_EQ(0u, standin::OpenHandleCount());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderTest,
    ::testing::Values(
        FolderCase{"TrustedFolderBacksUp", true, Plant::Nothing, true, 0, true},
        FolderCase{"UntrustedFolderMakesNoCopy", false, Plant::Nothing, true, 0, false},
        FolderCase{"UntrustedLinkIsRefused", false, Plant::LinkAtFile, false, 448, false},
        FolderCase{"UntrustedHardLinkIsRefused", false, Plant::HardLinkAtFile, false, 448, false},
        FolderCase{"LinkAtTheTemporaryNameIsLeftAlone", true, Plant::LinkAtIncomplete, true, 0, false},
        FolderCase{"LeftoverTemporaryCopyIsRemoved", true, Plant::PlainIncomplete, true, 0, true},
        FolderCase{"ObjectLinkAtTheFile", true, Plant::ObjectLinkAtFile, true, 0, true},
        FolderCase{"ObjectLinkAtTheTemporaryName", true, Plant::ObjectLinkAtIncomplete, true, 0, true},
        FolderCase{"ObjectLinkAtTheBackupsName", true, Plant::ObjectLinkAtBackup, true, 0, true},
        FolderCase{"SwappedBetweenReadAndWrite", true, Plant::SwapBeforeWrite, true, 448, false},
        FolderCase{"FolderReachedThroughALink", true, Plant::LinkAboveFolder, true, 0, true}),
    [](const auto &info) { return std::string(info.param.name); });
#endif

}  // namespace
