// Host stand-in for the part of <windows.h> that the programs use. Found only by the host build, so
// the production sources compile unchanged on Linux; the calls are implemented in one file per
// platform library beside hostwin.h and driven by the test-control API in hostwin.h. Values and
// last-error codes follow Win32 (and Wine, where the two are known to differ).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define WINAPI
#define CALLBACK
#define __stdcall

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef DWORD *LPDWORD;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HWND__ *HWND;
typedef void *PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
typedef void *HLOCAL;
#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_WRITE_THROUGH 0x8u

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[260];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define LOWORD(x) ((WORD)((uintptr_t)(x) & 0xFFFF))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_INVALID_WINDOW_HANDLE 1400L

#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x1u
#define KEY_SET_VALUE 0x2u
#define KEY_READ 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_WOW64_64KEY 0x100u
#define KEY_WOW64_32KEY 0x200u
#define REG_SZ 1u
#define REG_MULTI_SZ 7u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x4u
#define ERROR_NO_MORE_ITEMS 259L

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_APPEND_DATA 0x4u
#define FILE_SHARE_READ 0x1u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u

#define MB_OK 0x0u
#define MB_OKCANCEL 0x1u
#define IDOK 1
#define IDCANCEL 2
#define WM_COMMAND 0x0111u

DWORD GetLastError(void);
void SetLastError(DWORD code);

LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD cchClass, LPDWORD reserved,
                         LPDWORD cSubKeys, LPDWORD cbMaxSubKeyLen, LPDWORD cbMaxClassLen,
                         LPDWORD cValues, LPDWORD cbMaxValueNameLen, LPDWORD cbMaxValueLen,
                         LPDWORD cbSecurityDescriptor, PFILETIME lastWriteTime);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved, LPWSTR className,
                      LPDWORD cchClass, PFILETIME lastWriteTime);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, BYTE *data, LPDWORD cbData);
LSTATUS RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD cbData);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name);

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD cbToRead, LPDWORD cbRead, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE search);
DWORD GetLongPathNameW(LPCWSTR path, LPWSTR buffer, DWORD cchBuffer);
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT cchBuffer);
BOOL DeleteFileW(LPCWSTR path);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD cbToWrite, LPDWORD cbWritten, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL CreateHardLinkW(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags);
BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD cbDescriptor,
                      LPDWORD cbNeeded);
HLOCAL LocalFree(HLOCAL memory);

void Sleep(DWORD milliseconds);
// KERNEL32's interlocked exchanges, which mingw-w64 compiles inline: sequentially consistent.
inline LONG InterlockedExchange(volatile LONG *target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG *target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
void GetLocalTime(LPSYSTEMTIME time);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD GetCurrentProcessId(void);

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
HWND FindWindowW(LPCWSTR className, LPCWSTR title);
HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
