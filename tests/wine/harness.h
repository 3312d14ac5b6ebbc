// Drives the real programs the way a setup package does: prepares the registry and the INF store,
// starts a program, reads and answers its message boxes, and collects its exit status.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

// True only inside a throwaway test machine: the session script marks its Wine prefix, and a
// disposable Windows VM must be marked by hand the same way.
bool InSandbox(std::wstring *why);

std::wstring WindowsDir();
std::wstring InfDir();                      // WindowsDir() + "\inf"
// The program under test: `exeName` in BRELLAN_PROGRAM_DIR (or beside the suite); a name that
// holds a backslash is a path already and is returned as it is.
std::wstring ProgramPath(const wchar_t *exeName);
// A file that travels with the suite, by its path relative to the suite's folder.
std::wstring SuiteFile(const wchar_t *relativePath);
// The PE machine of a program (0x14c i386, 0x8664 x86-64), 0 when it cannot be read.
unsigned ProgramMachine(const std::wstring &path);

// ---- Registry ----
extern const wchar_t kDeviceKey[];          // under HKEY_LOCAL_MACHINE
// Removes the device key and, with `instances` >= 0, creates it with that many instance subkeys.
void SetDeviceInstances(int instances);
// Replaces the device key's DACL by an SDDL string (e.g. "D:P(A;;0x60019;;;WD)").
bool SetDeviceKeyDacl(const wchar_t *sddl);

// ---- INF store ----
struct FileState {
    unsigned long long size;
    unsigned long long hash;
};
typedef std::map<std::wstring, FileState> StoreSnapshot;   // lower-case name -> state
StoreSnapshot SnapshotInfStore();
std::wstring DescribeChanges(const StoreSnapshot &before, const StoreSnapshot &after);
std::vector<std::wstring> AddedFiles(const StoreSnapshot &before, const StoreSnapshot &after);
// Removes from the INF store every file the baseline does not hold.
void RestoreInfStore(const StoreSnapshot &baseline);
bool ReadFileBytes(const std::wstring &path, std::string *bytes);
bool WriteFileBytes(const std::wstring &path, const std::string &bytes);
bool FileExists(const std::wstring &path);

// ---- The product's install folder ----
extern const wchar_t kInstallFolder[];
// A sample INF shipped with the suite (in "data" beside it): "flashwright.inf" or "brellan.inf".
std::string SampleInf(const wchar_t *name);
// The sample driver packages' files (the INFs, their catalogs and source files), by their paths
// relative to "data".
std::vector<std::wstring> SampleFiles();
// Every file under a folder that travels with the suite, by its path relative to that folder.
std::vector<std::wstring> SuiteFiles(const wchar_t *folder);
// Every file under `folder` with its bytes, by its path relative to the folder.
std::map<std::wstring, std::string> FolderFiles(const std::wstring &folder);
// Creates the install folder (and its parents) and writes `bytes` as `name` (a relative path) in it.
bool PlaceInstallFile(const wchar_t *name, const std::string &bytes);
// Places every sample file in the install folder, as the setup package does.
bool PlaceSamplePackages();
void RemoveInstallFolder();

// ---- Catalogs, as Windows' catalog API reads them ----
struct CatalogMember {
    std::wstring tag;                       // the hash, in upper-case hexadecimal
    std::wstring subject;                   // the subject interface package's GUID, braced
    std::string algorithm;                  // the hash algorithm's OID
};
// Every member of a catalog file, in the API's order; false when the API cannot open it.
bool ReadCatalogMembers(const std::wstring &catalog, std::vector<CatalogMember> *members);

// ---- Programs and their boxes ----
struct BoxInfo {
    HWND window = NULL;
    std::wstring caption;
    std::wstring text;
    std::vector<std::wstring> buttons;      // visible buttons' texts, in control order
    std::vector<int> buttonIds;
    bool hasIcon = false;
    DWORD seenAtMs = 0;                     // since the program was started
    DWORD goneAtMs = 0;                     // when it was first seen closed (0: never seen closed)
    int othersOpen = 0;                     // earlier boxes of the program still open when it came up
    bool rescued = false;                   // left alone, it stayed too long, and the harness pressed OK
    int ownerThreads = 0;                   // threads of the box's process when it was first seen
    int pressWith = 0;                      // the answer's button, until the harness presses it
};

// A page of the setup package's wizard, as a person sees it.
struct PageInfo {
    HWND window = NULL;                     // the wizard's window
    HWND page = NULL;                       // the page's own dialog inside it
    std::wstring caption;                   // the window's
    std::wstring title;                     // the page's heading (a progress page's first one)
    std::vector<std::wstring> texts;        // every visible text, the heading first, in control order
    std::vector<std::wstring> buttons;      // the window's visible buttons and the page's links
    std::vector<std::wstring> steps;        // a progress page: each line above its bar, in order
    DWORD seenAtMs = 0;
    int answered = 0;                       // whether the answer was asked for
    int pressWith = 0;                      // its button, pressed once it is enabled
    DWORD enabledAtMs = 0;                  // when that button was seen enabled
};
// Saves what the screen shows of `window` as a 24-bit BMP file.
bool SavePicture(HWND window, const std::wstring &path);
// Whether `text` is part of a text on the page.
bool PageSays(const PageInfo &page, const std::wstring &text);
// Every text of the page on one line each, for a failure's message.
std::string DescribePage(const PageInfo &page);

struct RunResult {
    bool started = false;
    bool timedOut = false;                  // killed after the time limit: a hang
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<BoxInfo> boxes;             // every box the program showed, in order
    std::vector<PageInfo> pages;            // every page of a wizard it showed, in order
    DWORD elapsedMs = 0;
    bool wow64 = false;                     // a 32-bit process on a 64-bit system
};

// What to do with a box: the id of the button to press, or 0 to leave it alone.
typedef std::function<int(const BoxInfo &)> BoxAnswer;
int PressOk(const BoxInfo &);
int LeaveAlone(const BoxInfo &);
// OK on every box but DriverPrep's "Installing" notice, which must close by itself.
int PressOkLetNoticeClose(const BoxInfo &);
extern const wchar_t kNoticeTitle[];
// DriverPrep's worker looks for its notice this long after the program starts, at most.
const DWORD kNoticeLookLimitMs = 3000;
// Whether DriverPrep's notice ended as designed: it closed by itself, or it came up only after
// its worker had stopped looking for it (the worker, DriverPrep's only other thread, was gone)
// and so stayed until pressed.
bool NoticeEndedAsDesigned(const BoxInfo &notice);
std::vector<BoxInfo> OtherThanNotice(const std::vector<BoxInfo> &boxes);
// A box left alone that is still open this long after it came up is pressed OK and flagged.
const DWORD kRescueAfterMs = 5000;
// An answer is pressed once the box has been up this long, as fast as a person: the setup
// package's watch, which looks every 50 ms, sees every box a person answers.
const DWORD kPressAfterMs = 300;

// What to do on a wizard's page, once it has been up kPressAfterMs: the id of the button to press
// when it is enabled (IDOK: the page's Next, Install or Finish; IDCANCEL), or 0 for none.
typedef std::function<int(const PageInfo &)> PageAnswer;
int PressNext(const PageInfo &);

// Where a program runs: on the visible desktop, or on a desktop of a window station of its own
// that nobody can see, where a deployment service runs installers. The harness sees no box there.
enum class Screen { kVisible, kUnseen };

// Whose rights a program runs with: the suite's (an administrator's), or a user's, whose token
// holds the Administrators group for deny only (CreateRestrictedToken), as a standard user's does.
enum class Rights { kAdministrator, kUser };

// Starts `exeName` from the program folder with `args` (on `desktop`, "" for this one) without
// waiting for it. The caller closes both handles.
bool Start(const wchar_t *exeName, const wchar_t *args, PROCESS_INFORMATION *process, const wchar_t *desktop = L"",
           Rights rights = Rights::kAdministrator);

// Starts `exeName` from the program folder with `args`, answers its boxes and those of the
// programs it starts, and waits for its end within `limitMs`. A program still running then is
// killed and reported as timed out.
// A wizard's pages are answered by `pageAnswer`; a wizard is no box.
RunResult Run(const wchar_t *exeName, const wchar_t *args, const BoxAnswer &answer,
              DWORD limitMs = 30000, Screen screen = Screen::kVisible, const PageAnswer &pageAnswer = PressNext,
              Rights rights = Rights::kAdministrator);

// Which of the programs `names` are running, one entry per process; with `end`, each is also
// ended.
std::vector<std::wstring> Running(const std::vector<std::wstring> &names, bool end = false);
// The setup package's programs: the package, its watch and rollback, DriverPrep, PkgStage.
extern const std::vector<std::wstring> kPackagePrograms;

// ---- The setup package ----
// The version its detection value records (HKLM, 64-bit view), or "" when there is none;
// SetDetectedVersion(NULL) removes it.
std::wstring DetectedVersion();
void SetDetectedVersion(const wchar_t *version);
// A text value of its Apps & features entry (64-bit view), "" when there is none.
std::wstring UninstallEntry(const wchar_t *name);
void RemoveUninstallEntry();
// A text value under HKLM (64-bit view), "" when there is none.
std::wstring RegistryText(const wchar_t *key, const wchar_t *name);
// The package's event source (under HKLM) and its message file; RemoveEventSource removes both.
extern const wchar_t kEventSourceKey[];
extern const wchar_t kEventMessageFile[];
void RemoveEventSource();
// What the session's programs wrote to their output so far, Wine's debug channels included (the
// session script names the file in BRELLAN_RUN_OUTPUT); "" outside such a session.
std::string RunOutput();

}  // namespace harness
