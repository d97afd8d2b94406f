// Whether a folder admits only trusted writers, read from its owner and
// access list in the system's text form (SDDL).
#pragma once

#include <string>

#include "platform/Win32.h"

// True when nobody but SYSTEM, Administrators, TrustedInstaller and the
// given user (a SID in text form) may change what the folder holds: add a
// file or a folder to it, delete from it, change its attributes, its access
// list or its owner, or delete it. The text is "O:<owner>D:<flags>(<ace>)...";
// an entry that applies only to what the folder's children inherit grants
// nothing on the folder. Anything this does not understand counts against
// the folder, and so does a missing access list.
bool FolderAdmitsOnlyTrusted(const std::wstring &sddl, const std::wstring &ownUserSid);

// The SID of the token's user in text form; empty when it cannot be had.
std::wstring TokenUserSid(HANDLE token);
std::wstring OwnUserSid();

// FolderAdmitsOnlyTrusted for the folder or file open on the handle, with
// this process's own user: its owner and access list are asked of the
// handle, so that no name is resolved again. False when they cannot be had.
// (For a file, the same rights count: writing and appending to it, deleting
// it, changing its attributes, access list or owner.)
bool HandleAdmitsOnlyTrusted(HANDLE object);
