// Removes from the Windows INF store every OEM INF copy that names the Brellan device, together
// with its precompiled ".pnf" twin.
#include "driverprep.h"

#include "wide_text.h"

#include <windows.h>
#include <string.h>
#include <wctype.h>

static const wchar_t kInfSubdirectory[] = L"\\inf\\";
static const wchar_t kOemInfPattern[] = L"oem*.inf";
static const wchar_t kInfExtension[] = L".inf";
static const wchar_t kTwinExtension[] = L".pnf";
static const size_t kCchExtension = 4;

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

// Deletes one found entry, and its twin, when its text names the device. An entry whose path
// would not fit is skipped without being opened; one whose long or twin path would not fit is
// left in place. The long path is looked up only for a match: under Wine the lookup costs more
// than reading the file.
static void PurgeIfStale(const wchar_t *infDir, const wchar_t *fileName)
{
    wchar_t candidate[MAX_PATH] = L"";
    wchar_t longPath[MAX_PATH];
    wchar_t twinPath[MAX_PATH];
    if (!AppendChecked(candidate, MAX_PATH, infDir) || !AppendChecked(candidate, MAX_PATH, fileName)) return;
    if (!InfMentionsDevice(candidate)) return;
    if (!BuildDeletionPaths(candidate, longPath, twinPath)) return;
    // The twin goes first; a deletion that fails leaves its file and stops nothing.
    if (twinPath[0] != 0) (void)DeleteFileW(twinPath);   // a missing twin is fine
    (void)DeleteFileW(longPath);
}

void PurgeStaleInfs()
{
    wchar_t infDir[MAX_PATH];
    wchar_t pattern[MAX_PATH] = L"";
    if (!GetInfDirectory(infDir)) return;
    if (!AppendChecked(pattern, MAX_PATH, infDir) || !AppendChecked(pattern, MAX_PATH, kOemInfPattern)) return;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;   // no OEM INF at all
    do {
        PurgeIfStale(infDir, entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
