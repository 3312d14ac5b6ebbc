// The device's recorded instances, and the purge's walk of the INF store's OEM copies.
#include "stale_copies.h"

#include "wide_text.h"

#include <string.h>
#include <wctype.h>

const wchar_t kDeviceKeyPath[] = L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402";
static const wchar_t kInfSubdirectory[] = L"\\inf\\";
static const wchar_t kOemInfPattern[] = L"oem*.inf";
static const wchar_t kInfExtension[] = L".inf";
static const wchar_t kTwinExtension[] = L".pnf";
static const size_t kCchExtension = 4;

// Number of instance subkeys under an open key. A query that fails leaves the count at 0, which
// reads as no instance.
static DWORD CountInstances(HKEY key)
{
    wchar_t className[MAX_PATH] = L"";
    DWORD cchClassName = MAX_PATH;
    DWORD cSubKeys = 0;
    DWORD cbMaxSubKeyLen = 0;
    DWORD cbMaxClassLen = 0;
    DWORD cValues = 0;
    DWORD cbMaxValueNameLen = 0;
    DWORD cbMaxValueLen = 0;
    DWORD cbSecurityDescriptor = 0;
    FILETIME lastWriteTime = {0, 0};
    (void)RegQueryInfoKeyW(key, className, &cchClassName, NULL, &cSubKeys, &cbMaxSubKeyLen,
                           &cbMaxClassLen, &cValues, &cbMaxValueNameLen, &cbMaxValueLen,
                           &cbSecurityDescriptor, &lastWriteTime);
    return cSubKeys;
}

DWORD RecordedDeviceInstances()
{
    // Read access is all the count needs. The Enum tree grants full access to SYSTEM alone, so
    // asking for more would be refused for an elevated administrator and hide the device.
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD cInstances = CountInstances(key);
    RegCloseKey(key);
    return cInstances;
}

// The INF directory with its trailing backslash. Returns 0 when the Windows directory cannot be
// obtained or the result would not fit.
static int GetInfDirectory(wchar_t *infDir)
{
    UINT cch = GetWindowsDirectoryW(infDir, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return 0;
    return AppendChecked(infDir, MAX_PATH, kInfSubdirectory);
}

static int EndsWithInfExtension(const wchar_t *path)
{
    size_t cch = wcslen(path);
    if (cch < kCchExtension) return 0;
    for (size_t i = 0; i < kCchExtension; ++i) {
        if ((wchar_t)towlower(path[cch - kCchExtension + i]) != kInfExtension[i]) return 0;
    }
    return 1;
}

// Builds the paths a candidate is deleted by: its long form (or the path as built, when the long
// form cannot be obtained) and, when that ends in ".inf", its ".pnf" twin; otherwise `twinPath`
// is left empty. Returns 0 when a path would not fit.
static int BuildDeletionPaths(const wchar_t *candidate, wchar_t *longPath, wchar_t *twinPath)
{
    DWORD cch = GetLongPathNameW(candidate, longPath, MAX_PATH);
    if (cch >= MAX_PATH) return 0;
    if (cch == 0) {
        longPath[0] = 0;
        if (!AppendChecked(longPath, MAX_PATH, candidate)) return 0;
    }
    twinPath[0] = 0;
    if (!EndsWithInfExtension(longPath)) return 1;   // no twin we could name safely
    size_t cchStem = wcslen(longPath) - kCchExtension;
    memcpy(twinPath, longPath, cchStem * sizeof(wchar_t));
    twinPath[cchStem] = 0;
    return AppendChecked(twinPath, MAX_PATH, kTwinExtension);
}

// One found entry: an entry whose path would not fit is skipped without being opened; one whose
// long or twin path would not fit is left alone. The long path is looked up only for a match:
// under Wine the lookup costs more than reading the file.
static void VisitEntry(const wchar_t *infDir, const wchar_t *fileName, StaleCopyTest names, StaleCopyAction act,
                       void *context)
{
    wchar_t candidate[MAX_PATH] = L"";
    wchar_t longPath[MAX_PATH];
    wchar_t twinPath[MAX_PATH];
    if (!AppendChecked(candidate, MAX_PATH, infDir) || !AppendChecked(candidate, MAX_PATH, fileName)) return;
    if (!names(candidate, context)) return;
    if (!BuildDeletionPaths(candidate, longPath, twinPath)) return;
    act(longPath, twinPath, context);
}

void WalkStaleCopies(StaleCopyTest names, StaleCopyAction act, void *context)
{
    wchar_t infDir[MAX_PATH];
    wchar_t pattern[MAX_PATH] = L"";
    if (!GetInfDirectory(infDir)) return;
    if (!AppendChecked(pattern, MAX_PATH, infDir) || !AppendChecked(pattern, MAX_PATH, kOemInfPattern)) return;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;   // no OEM INF at all
    do {
        VisitEntry(infDir, entry.cFileName, names, act, context);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
