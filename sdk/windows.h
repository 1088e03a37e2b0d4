// POSIX stand-in for <windows.h>: only what the system calls, with the SDK's
// names, values and layouts. Implemented under platform/.
#pragma once
#include "windef.h"
#include "winerror.h"
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

// --- last error, processes, modules -------------------------------------------
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
DWORD GetCurrentProcessId(void);
DWORD GetCurrentThreadId(void);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

// --- strings and code pages ---------------------------------------------------
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);
UINT GetACP(void);
int lstrlenW(LPCWSTR lpString);
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

// --- messages and resources ---------------------------------------------------
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
// Typed resources of a module (see orvane_resources.h for how they get there).
typedef struct HRSRC__* HRSRC;
typedef HANDLE HGLOBAL;
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID LockResource(HGLOBAL hResData);
LANGID GetUserDefaultUILanguage(void);
LANGID GetThreadUILanguage(void);
LANGID SetThreadUILanguage(LANGID LangId);
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HANDLE LocalAlloc(UINT uFlags, SIZE_T uBytes);
HANDLE LocalFree(HANDLE hMem);
// VirtualAlloc: committed, zeroed read-write pages (lpAddress null,
// MEM_COMMIT with or without MEM_RESERVE, PAGE_READWRITE; nothing else is
// offered). VirtualFree: MEM_RELEASE of a whole region, size 0, at the address
// VirtualAlloc gave; the pages go back to the system at once.
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_RELEASE 0x00008000
#define PAGE_READWRITE 0x04
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

// --- files and paths ----------------------------------------------------------
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

// CreateFileW: CREATE_NEW fails with ERROR_FILE_EXISTS whenever the name is
// taken, also by a link (dangling or not), which is never followed.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
// FlushFileBuffers: the file's data and size on the disk (fsync).
BOOL FlushFileBuffers(HANDLE hFile);
BOOL CloseHandle(HANDLE hObject);
BOOL DeleteFileW(LPCWSTR lpFileName);
// MoveFileExW: renames a file within its file system, never over an existing
// entry (a file, a folder, a link, dangling or not): ERROR_ALREADY_EXISTS
// then, and nothing changes. MOVEFILE_WRITE_THROUGH returns only once the
// new name is on the disk. Other flags: ERROR_INVALID_PARAMETER.
#define MOVEFILE_WRITE_THROUGH 0x00000008
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
DWORD GetFileAttributesW(LPCWSTR lpFileName);
DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

// GetFileType: what an open handle refers to: FILE_TYPE_DISK for files and
// directories (and block devices), FILE_TYPE_CHAR for character devices,
// FILE_TYPE_PIPE for FIFOs and sockets. FILE_TYPE_UNKNOWN with
// ERROR_INVALID_HANDLE for a handle that is no file.
#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003
DWORD GetFileType(HANDLE hFile);

// Paths and directories (platform/kernel32/paths.cpp). "/" is the separator.
// GetFullPathNameW: the absolute form of lpFileName, relative paths taken from
// the current directory, "." and ".." folded and repeated separators merged
// as text (links are not resolved, as on Windows); a trailing separator is
// kept. Returns the characters written without the terminator, or, when
// nBufferLength is too small, the size needed with it (nothing written, no
// error set); 0 with the reason in the last error. *lpFilePart (optional)
// points at the last component in lpBuffer, or is null when the path ends
// with a separator.
DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart);
// GetCurrentDirectoryW: sizes as for GetFullPathNameW.
DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
BOOL SetCurrentDirectoryW(LPCWSTR lpPathName);
// CreateDirectoryW: a new directory for its owner alone; ERROR_ALREADY_EXISTS
// when the name is taken. RemoveDirectoryW: ERROR_DIR_NOT_EMPTY unless empty.
BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL RemoveDirectoryW(LPCWSTR lpPathName);

// --- time ---------------------------------------------------------------------
typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// FileTimeToSystemTime: 100-nanosecond intervals since 1601-01-01 to a calendar
// time (day of week filled in). Fails with ERROR_INVALID_PARAMETER for a file
// time at or above 2^63.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
// SystemTimeToFileTime: the reverse; the day of week is ignored. A field out of
// range (month 13, 30 February, year below 1601 or above 30827) fails with
// ERROR_INVALID_PARAMETER.
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
// FileTimeToLocalFileTime: adds the local zone's current offset from UTC (the
// one in force now, not at the given time, as on Windows). The local zone is
// the C library's (TZ, else the system's).
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
// GetSystemTimeAsFileTime: the current time, UTC.
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;
// SystemTimeToTzSpecificLocalTime: the calendar time in UTC as local time by
// the rule of the zone for that instant (summer time included), not by the
// offset in force now. Only the active zone is offered: lpTimeZoneInformation
// must be null, else ERROR_INVALID_PARAMETER; so is a time
// SystemTimeToFileTime refuses.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime);

#ifdef __cplusplus
}
#endif

#include "orvane_crt.h"
