// Whether a folder admits only trusted writers, read from its owner and
// access list in the system's text form (SDDL).
#pragma once

#include <string>

// True when nobody but SYSTEM, Administrators, TrustedInstaller and the
// given user (a SID in text form) may change what the folder holds: add a
// file or a folder to it, delete from it, change its attributes, its access
// list or its owner, or delete it. The text is "O:<owner>D:<flags>(<ace>)...";
// an entry that applies only to what the folder's children inherit grants
// nothing on the folder. Anything this does not understand counts against
// the folder, and so does a missing access list.
bool FolderAdmitsOnlyTrusted(const std::wstring &sddl, const std::wstring &ownUserSid);
