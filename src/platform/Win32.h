// The one place that brings in the Win32 API. On Windows it is the real SDK
// (with the few gaps of older mingw-w64 headers filled); on other hosts it is
// the test stand-in, which declares the same subset.
//
// Wide strings hold UTF-16 code units on both builds: on the host wchar_t is
// wider, but each element still carries one 16-bit code unit.
#pragma once

#ifdef _WIN32

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <aclapi.h>
#include <conio.h>
#include <sddl.h>
#include <shellapi.h>
#include <time.h>
#include <tlhelp32.h>
#include <winternl.h>

// The shell's folder paths, only for the file that asks for them
// (KV_WIN32_SHELL_FOLDERS defined before its first include): the header
// costs every other file a second to compile.
#ifdef KV_WIN32_SHELL_FOLDERS
#include <shlobj.h>
#endif

#ifndef ERROR_UNTRUSTED_MOUNT_POINT
#define ERROR_UNTRUSTED_MOUNT_POINT 448L
#endif
#ifndef ERROR_OPLOCK_BREAK_IN_PROGRESS
#define ERROR_OPLOCK_BREAK_IN_PROGRESS 742L
#endif
// A success code that ntstatus.h names, which windows.h leaves out.
#ifndef STATUS_OPLOCK_BREAK_IN_PROGRESS
#define STATUS_OPLOCK_BREAK_IN_PROGRESS static_cast<NTSTATUS>(0x00000108L)
#endif

#ifdef _MSC_VER
// The SDK's winternl.h declares NtCreateFile but not this one (ntdll.lib
// exports it).
extern "C" NTSYSAPI NTSTATUS NTAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                                        ULONG length, FILE_INFORMATION_CLASS kind);
#endif

#ifdef __MINGW32__
// mingw-w64 10 lacks the version-2 name; the record has the same layout, and
// a repeated typedef of the same type is harmless should a header add it.
typedef SERVICE_NOTIFYW SERVICE_NOTIFY_2W;
typedef SERVICE_NOTIFYW *PSERVICE_NOTIFY_2W;
#ifndef ERROR_SERVICE_NOTIFY_CLIENT_LAGGING
#define ERROR_SERVICE_NOTIFY_CLIENT_LAGGING 1294L
#endif
#endif

#else

#include "Win32StandIn.h"

#endif

// What GetProcAddress found, as the function type it has: through
// void (*)(), which converts to each of them without a warning about
// mismatched types.
template <typename Proc>
Proc ProcAs(FARPROC proc) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
}
