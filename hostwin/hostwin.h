// Test-control API of the host Win32 stand-in: sets up what the calls see (registry, a Windows
// directory on a temporary folder, faults, message-box answers, other windows) and reports what
// the production code did with them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace hostwin {

// Clears every piece of state below. Call at the start of each test.
void Reset();

// ---- Registry (HKEY_LOCAL_MACHINE only) ----
// Records a key with `subkeys` instance subkeys. `granted` is the access the key allows; an open
// that asks for more fails with ERROR_ACCESS_DENIED.
void AddKey(const std::wstring &path, DWORD subkeys, DWORD granted = KEY_ALL_ACCESS);
// A REG_SZ value, made with its key and every key above it.
void SetValue(const std::wstring &path, const std::wstring &name, const std::wstring &text);
bool GetValue(const std::wstring &path, const std::wstring &name, std::wstring *text);
void SetMultiValue(const std::wstring &path, const std::wstring &name, const std::vector<std::wstring> &texts);
std::vector<std::wstring> GetMultiValue(const std::wstring &path, const std::wstring &name);
// Makes RegQueryInfoKeyW fail with `error`, leaving every output untouched.
void FailQueryInfo(LSTATUS error);
struct RegisterStats {
    int opens = 0;             // successful opens
    int closes = 0;            // successful closes
    DWORD lastAccess = 0;      // access asked for by the last RegOpenKeyExW
    std::wstring lastPath;     // path given to the last RegOpenKeyExW
};
RegisterStats Registry();

// ---- Files ----
// Maps the drive "C:\" onto `hostRoot`. GetWindowsDirectoryW reports `windowsDir`; an empty string
// makes it fail (return 0).
void SetDriveRoot(const std::string &hostRoot);
void SetWindowsDirectory(const std::wstring &windowsDir);
// The host path that a Windows path maps to.
std::string HostPath(const std::wstring &windowsPath);
// Faults, keyed by Windows path (case-insensitive).
void FailOpen(const std::wstring &path, DWORD error);
void FailReadAfter(const std::wstring &path, int goodReads, DWORD error);
void FailDelete(const std::wstring &path, DWORD error);
// Another process holds the file open without sharing: opens fail with ERROR_SHARING_VIOLATION
// and deletes too.
// A listing of `folder` ends with `error` once it has given `entries` entries, as a disk error would.
void FailListingAfter(const std::wstring &folder, size_t entries, DWORD error);
void HoldOpen(const std::wstring &path);
void CloseHeld(const std::wstring &path);
struct FileEvent {
    enum Kind { Open, Read, Delete } kind;
    std::wstring path;
    DWORD result;     // bytes delivered for a read; 0 or the error code for an open or delete
};
std::vector<FileEvent> FileEvents();
// The path recorded for a read on a handle that is not an open file.
extern const wchar_t kInvalidHandlePath[];
int OpenHandles();    // file, search and thread handles not yet closed
// Folder security, as SDDL text: a folder made with a descriptor keeps it, its owner "O:BA" (an
// elevated administrator's). A folder's security can be changed behind the program's back; with
// `keeps` false the volume keeps none, as under Wine, and reports a default of its own.
void SetFolderSecurity(const std::wstring &path, const std::wstring &ownerAndDacl);
void KeepFileSecurity(bool keeps);
extern const wchar_t kUnkeptSecurity[];

// ---- Message boxes and windows ----
// What the user does with the next box shown. Boxes with no script get the default: it appears at
// once and the user presses OK at once.
struct BoxScript {
    int appearAfterMs = 0;   // the box becomes findable this long after MessageBoxW is called
    int userAnswer = IDOK;
    int userAfterMs = 0;     // < 0: the user never presses; the box waits for a command
};
void ScriptBox(const BoxScript &script);
struct BoxRecord {
    HWND owner;
    std::wstring text;
    bool hasCaption;
    std::wstring caption;   // as shown: the platform's default "Error" when none was given
    UINT type;
    int result;
    bool closedByCommand;   // a WM_COMMAND closed it, rather than the user
    bool timedOut;          // nobody closed it within the stand-in's safety limit
    long shownAtMs;         // from Reset(), when MessageBoxW was called
    long closedAtMs;
};
std::vector<BoxRecord> Boxes();
// A top-level window of another process.
HWND AddForeignWindow(const std::wstring &className, const std::wstring &title, DWORD processId);
int CommandsReceived(HWND window);
long NowMs();   // milliseconds since Reset()

// ---- Threads, sleeps and the copy service ----
void FailThreadStart(bool fail);
struct ThreadStats {
    int started = 0;
    int joined = 0;           // waits that returned because the thread had ended
    int exitCalls = 0;        // _endthreadex calls
    unsigned lastExitCode = 0xFFFFFFFFu;
    std::vector<DWORD> sleeps;
};
ThreadStats Threads();
// Scripted verdicts for the next SetupCopyOEMInfW calls: 0 accepts, anything else refuses with
// that last-error code. Unscripted calls are accepted.
void ScriptCopy(const std::vector<DWORD> &errors);
struct CopyCall {
    std::wstring source;
    bool mediaLocationNull;
    DWORD mediaType;
    DWORD copyStyle;
    bool destinationNull;
    DWORD cchDestination;
    bool cchRequiredNull;
    bool componentNull;
};
std::vector<CopyCall> CopyCalls();
// A device uses the INF store's copy `infName`: SetupUninstallOEMInfW refuses it with
// ERROR_INF_IN_USE_BY_DEVICES unless forced.
void UseByDevice(const std::wstring &infName);
struct UninstallCall {
    std::wstring infName;
    DWORD flags;
};
std::vector<UninstallCall> UninstallCalls();

}  // namespace hostwin
