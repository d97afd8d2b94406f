// Opens through the native call, NtCreateFile: by the native form of a full
// path, or by a name relative to a held folder. Synchronous, as CreateFileW
// opens. No open waits for another process to acknowledge an oplock's
// break, which a user who may read the file can put off for ever: such an
// open fails at once, with ERROR_OPLOCK_BREAK_IN_PROGRESS.
#pragma once

#include <string>

#include "platform/Handle.h"
#include "platform/Win32.h"

// An NT call's answer as the thread's last error, the way Win32 calls
// leave it.
bool Succeeded(NTSTATUS status);

// The name relative to the folder, or a full native name with no folder.
CHandle OpenNative(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security = nullptr);

// A file or folder by its path, following whatever links lead to it, as
// CreateFileW opens one that exists.
CHandle OpenPath(const std::wstring &path, ACCESS_MASK access, ULONG share, ULONG options = 0);

// The name that the native calls take for a full path as GetFullPathNameW
// gives it: "\\?\" and "\\.\" paths in the object manager's own
// form, "\\server\share" as "\??\UNC\server\share", anything else
// behind "\??\".
std::wstring NtPathName(const std::wstring &fullPath);
