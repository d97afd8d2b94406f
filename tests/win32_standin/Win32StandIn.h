// Host stand-in for the Win32 subset the tool uses. Only the host build sees
// it (through platform/Win32.h); the behaviour behind it is scripted by tests
// through StandIn.h.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using BOOLEAN = BYTE;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using HRESULT = std::int32_t;
using __int64 = std::int64_t;
using __time64_t = std::int64_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t *;
using PWSTR = wchar_t *;
using LPCWSTR = const wchar_t *;
using LPSTR = char *;
using LPCSTR = const char *;
using LPBYTE = BYTE *;
using LPDWORD = DWORD *;
using PDWORD = DWORD *;
using PVOID = void *;
using LPVOID = void *;
using LPCVOID = const void *;
using HANDLE = void *;
using PHANDLE = HANDLE *;
using NTSTATUS = std::int32_t;
using ACCESS_MASK = DWORD;
using HLOCAL = void *;
using ULONG_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__ *;
struct HWINSTA__;
using HWINSTA = HWINSTA__ *;
struct HWND__;
using HWND = HWND__ *;
struct HINSTANCE__;
using HMODULE = HINSTANCE__ *;
using HINSTANCE = HMODULE;
using FARPROC = INT_PTR (*)();

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define MAX_PATH 260

// Error codes.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_FAULT 29u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_DISK_FULL 112u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_UNTRUSTED_MOUNT_POINT 448u
#define ERROR_OPLOCK_BREAK_IN_PROGRESS 742u
#define ERROR_NO_TOKEN 1008u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_SERVICE_ALREADY_RUNNING 1056u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_SERVICE_DISABLED 1058u
#define ERROR_SERVICE_NOTIFY_CLIENT_LAGGING 1294u
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#define ERROR_IO_DEVICE 1117u
#define ERROR_TIMEOUT 1460u
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002u)

// Access rights.
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define SYNCHRONIZE 0x00100000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_SUSPEND_RESUME 0x0800u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_ATTRIBUTES 0x80u
#define SC_MANAGER_CONNECT 0x0001u
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_PAUSE_CONTINUE 0x0040u
#define SERVICE_INTERROGATE 0x0080u
#define SERVICE_USER_DEFINED_CONTROL 0x0100u
#define SERVICE_ALL_ACCESS 0xF01FFu

// Service states, controls and notifications.
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_NOTIFY_STATUS_CHANGE 2u
#define SERVICE_NOTIFY_STOPPED 0x1u
#define SERVICE_NOTIFY_START_PENDING 0x2u
#define SERVICE_NOTIFY_STOP_PENDING 0x4u
#define SERVICE_NOTIFY_RUNNING 0x8u
#define SERVICE_NOTIFY_CONTINUE_PENDING 0x10u
#define SERVICE_NOTIFY_PAUSE_PENDING 0x20u
#define SERVICE_NOTIFY_PAUSED 0x40u

// Waits.
#define WAIT_OBJECT_0 0u
#define WAIT_IO_COMPLETION 0xC0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu

// Files.
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_WRITE_THROUGH 0x8u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// Window stations.
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x1u

// Security.
#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
#define TOKEN_ASSIGN_PRIMARY 0x1u
#define TOKEN_DUPLICATE 0x2u
#define TOKEN_QUERY 0x8u
#define TOKEN_ADJUST_DEFAULT 0x80u
#define TOKEN_ADJUST_SESSIONID 0x100u
#define SECURITY_MAX_SID_SIZE 68
#define SDDL_REVISION_1 1u

// Console control events.
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u

enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS *;

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

using PFN_SC_NOTIFY_CALLBACK = void(CALLBACK *)(PVOID pParameter);

struct SERVICE_NOTIFY_2W {
  DWORD dwVersion;
  PFN_SC_NOTIFY_CALLBACK pfnNotifyCallback;
  PVOID pContext;
  DWORD dwNotificationStatus;
  SERVICE_STATUS_PROCESS ServiceStatus;
  DWORD dwNotificationTriggered;
  LPWSTR pszServiceNames;
};
using SERVICE_NOTIFYW = SERVICE_NOTIFY_2W;
using PSERVICE_NOTIFY_2W = SERVICE_NOTIFY_2W *;
using PSERVICE_NOTIFYW = SERVICE_NOTIFY_2W *;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
using SECURITY_INFORMATION = DWORD;
using PSECURITY_DESCRIPTOR = void *;
using PSID = void *;
struct ACL;
using PACL = ACL *;
enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 };

struct USEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
};

struct LARGE_INTEGER {
  std::int64_t QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER *;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION *;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW *;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION *;

// Slim reader/writer locks: the address is the lock.
struct SRWLOCK {
  PVOID Ptr;
};
#define SRWLOCK_INIT \
  { nullptr }
using PSRWLOCK = SRWLOCK *;
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
void AcquireSRWLockShared(PSRWLOCK lock);
void ReleaseSRWLockShared(PSRWLOCK lock);

using PHANDLER_ROUTINE = BOOL (*)(DWORD event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Thread state.
DWORD GetLastError();
void SetLastError(DWORD error);
void Sleep(DWORD milliseconds);
DWORD SleepEx(DWORD milliseconds, BOOL alertable);

// Service control manager.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE scm, LPCWSTR name, DWORD access);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR *argv);
DWORD NotifyServiceStatusChangeW(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW buffer);

// Processes.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
LPWSTR *CommandLineToArgvW(LPCWSTR commandLine, int *argc);
// The shell's known folders: only Program Files, "C:\Program Files" here.
#define CSIDL_PROGRAM_FILES 0x0026
#define SHGFP_TYPE_CURRENT 0
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)
#define SUCCEEDED(result) (static_cast<HRESULT>(result) >= 0)
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
HLOCAL LocalFree(HLOCAL memory);

// Files.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, void *overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void *overlapped);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
// A descriptor comes in one block, to be released with LocalFree.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR *descriptor, ULONG *size);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID *owner,
                      PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);

// Files relative to a held folder, through the native calls.
#define OBJ_CASE_INSENSITIVE 0x40u
#define FILE_OPEN 1u
#define FILE_CREATE 2u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x20u
#define FILE_NON_DIRECTORY_FILE 0x40u
#define FILE_OPEN_REPARSE_POINT 0x00200000u
#define FILE_COMPLETE_IF_OPLOCKED 0x100u
#define STATUS_OPLOCK_BREAK_IN_PROGRESS static_cast<NTSTATUS>(0x108)
struct UNICODE_STRING {
  USHORT Length;  // in bytes
  USHORT MaximumLength;
  PWSTR Buffer;
};
struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING *ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
#define InitializeObjectAttributes(p, n, a, r, s)          \
  *(p) = OBJECT_ATTRIBUTES {                               \
    sizeof(OBJECT_ATTRIBUTES), (r), (n), (a), (s), nullptr \
  }
struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK *;
enum FILE_INFORMATION_CLASS { FileDirectoryInformation = 1 };
struct FILE_RENAME_INFO {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  DWORD FileNameLength;  // in bytes
  WCHAR FileName[1];
};
struct FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
};
NTSTATUS NtCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes, PIO_STATUS_BLOCK io,
                      PLARGE_INTEGER allocation, ULONG fileAttributes, ULONG share, ULONG disposition,
                      ULONG options, PVOID ea, ULONG eaLength);
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS kind);
ULONG RtlNtStatusToDosError(NTSTATUS status);
// Paths are taken as full already: each comes back as it is.
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR *file);
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
#define CSTR_EQUAL 2
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase);
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION information, LPWSTR *text,
                                                          ULONG *length);

// Tokens. A SID is its text form here.
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenElevation = 20 };
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_ELEVATION {
  DWORD TokenIsElevated;
};
enum SECURITY_IMPERSONATION_LEVEL { SecurityImpersonation = 2 };
enum TOKEN_TYPE { TokenPrimary = 1 };
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information, DWORD length,
                         LPDWORD needed);
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text);
BOOL DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE duplicate);

// Launches as another user, and who is at the desktop.
#define CREATE_UNICODE_ENVIRONMENT 0x400u
#define CREATE_BREAKAWAY_FROM_JOB 0x01000000u
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                          BOOL inheritHandles, DWORD flags, LPVOID environment, LPCWSTR currentDirectory,
                          LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
BOOL CreateProcessWithTokenW(HANDLE token, DWORD logonFlags, LPCWSTR application, LPWSTR commandLine,
                             DWORD flags, LPVOID environment, LPCWSTR currentDirectory,
                             LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
HWND GetShellWindow();
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
#define TH32CS_SNAPPROCESS 0x2u
struct PROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
};
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W *entry);
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W *entry);
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR path, PDWORD size);

// Modules.
HMODULE GetModuleHandleW(LPCWSTR name);
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE *module);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HMODULE LoadLibraryW(LPCWSTR path);
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x100u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x800u
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// Console, session and window station.
BOOL GetNumberOfConsoleInputEvents(HANDLE console, LPDWORD events);
HWND GetConsoleWindow();
DWORD GetCurrentProcessId();
BOOL ProcessIdToSessionId(DWORD processId, DWORD *sessionId);
HWINSTA GetProcessWindowStation();
BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length, LPDWORD needed);

// C runtime.
int _kbhit();
__time64_t _time64(__time64_t *out);
