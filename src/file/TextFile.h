// Whole-file text access in the settings file's format (see Utf8Codec.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Handle.h"
#include "platform/Win32.h"

// The whole decoded text; empty when the file cannot be opened (missing,
// refused, held by a writer, or starting with FE FF).
std::wstring FileReadAllText(LPCWSTR path);

// While one of these lives, console control events (Ctrl+C, Ctrl+Break, a
// closed console window) wait, so that their default action, ending the
// process, comes only once it is gone: for a closed window, the system
// waits about 5 s before it ends the process anyway. (A logoff or a
// shutdown ends a program that uses the user-interface library without
// asking it.) Made by the program's one thread; holds may nest.
class CHoldConsoleEvents {
 public:
  CHoldConsoleEvents();
  ~CHoldConsoleEvents();
  CHoldConsoleEvents(const CHoldConsoleEvents &) = delete;
  CHoldConsoleEvents &operator=(const CHoldConsoleEvents &) = delete;
};

// Replaces the file's content with the text, in place: an existing file
// stays the same file (security, attributes, streams, links, identity). It
// is refused exactly where a writer's open is, and then nothing is touched.
// A failure after the open puts the original bytes back; where only the
// system and administrators may add to the folder, a copy of them beside
// the file covers the time of the write and is removed afterwards.
// Console control events wait until the write is done. No open waits for
// another process to give up an oplock: it fails at once, with
// ERROR_OPLOCK_BREAK_IN_PROGRESS.
// 0 on success; -1 on failure, with the system's reason as the last error.
std::int32_t FileWriteAllText(LPCWSTR path, std::wstring text);

// A file reached through its folder, which is opened once, by its path,
// following whatever links lead to it (an installation moved elsewhere keeps
// working), and held from then on: the file and the copy beside it are
// opened, created, renamed and deleted relative to that folder or through
// their own handles, so no name in it is resolved twice and a link planted
// in it since cannot redirect a step. The folder is trusted when only the
// system, administrators and this program's own user may change what it
// holds (FolderTrust.h). In a folder others may write, the file must be a
// plain file of one name, lying in the folder, or it is refused, and no copy
// is made beside it.
class CTextFile {
 public:
  explicit CTextFile(LPCWSTR path);
  CTextFile(const CTextFile &) = delete;
  CTextFile &operator=(const CTextFile &) = delete;

  // As FileReadAllText. The file read is the one a later WriteAllText writes.
  std::wstring ReadAllText();
  // As FileWriteAllText. After a read, only the file read is written, and
  // never created: if another file now has its name, the result is -1 with
  // ERROR_UNTRUSTED_MOUNT_POINT, and nothing is written.
  std::int32_t WriteAllText(std::wstring text);
  // False once a failed WriteAllText could not put the file back as it was.
  bool Intact() const { return m_intact; }

 private:
  // The file as the system knows it, whatever its names: volume serial
  // and file index.
  struct Identity {
    DWORD volume = 0;
    std::uint64_t index = 0;
    explicit Identity(const BY_HANDLE_FILE_INFORMATION &info);
    bool operator==(const Identity &other) const { return volume == other.volume && index == other.index; }
  };

  CHandle OpenForWriting(bool &created);
  bool IsPlainFileHere(HANDLE file, const BY_HANDLE_FILE_INFORMATION &info, const std::wstring &name) const;
  CHandle WriteBackup(const std::string &bytes) const;

  std::wstring m_path;
  std::wstring m_name;
  CHandle m_folder;
  DWORD m_folderError = 0;
  std::wstring m_folderFinalPath;
  bool m_trusted = false;
  bool m_intact = true;
  std::optional<Identity> m_read;  // the file last read
};
