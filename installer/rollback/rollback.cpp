// Keeps, before DriverPrep runs, what a run of the setup package may change, and puts it back when
// the run does not end well. The kept state lives in the rollback folder:
//
//   store-names   the hash of each name in the INF store, 8 bytes each
//   inf\          copies of the store's copies that name the device, and of their twins
//   kept\REL      the install folder's files that the run overwrites, as they were
//   new\REL       an empty note for each file of the install folder that the run creates
//   install-folder-new, parent-folder-new   notes that those folders did not exist
//   version       the detection value as the run found it
//   armed         written last: the state is whole
#include "setup_rollback.h"

#include "install_layout.h"
#include "name_set.h"
#include "setup_log.h"
#include "wide_text.h"

#include <windows.h>
#include <setupapi.h>
#include <string.h>
#include <wctype.h>

// The hardware ID that DriverPrep's purge looks for (driverprep/inf_match.cpp).
static const wchar_t kDeviceHardwareId[] = L"USB\\VID_8817&PID_3402";
static const wchar_t *const kModeSwitches[] = {L"/keep", L"/rollback", L"/remove-copies", L"/remove-replaced-copies"};
static const wchar_t kLogOption[] = L"/log=";
static const wchar_t kVersionOption[] = L"/version=";
static const wchar_t kPlaceOption[] = L"/place=";
static const wchar_t kInfSubfolder[] = L"\\inf";
static const wchar_t kAllEntries[] = L"*";
static const wchar_t kOemInfPattern[] = L"oem*.inf";   // the purge's own pattern
static const wchar_t kInfPattern[] = L"*.inf";
static const wchar_t kTwinPattern[] = L"*.pnf";
static const wchar_t kInfExtension[] = L".inf";
static const wchar_t kTwinExtension[] = L".pnf";
static const size_t kCchExtension = 4;
static const wchar_t kStoreNamesName[] = L"store-names";
static const wchar_t kKeptCopiesName[] = L"inf";
static const wchar_t kKeptFilesName[] = L"kept";
static const wchar_t kNewFilesName[] = L"new";
static const wchar_t kNewInstallFolderName[] = L"install-folder-new";
static const wchar_t kNewParentFolderName[] = L"parent-folder-new";
static const wchar_t kStagedByTheRun[] = L"staged by the run";
static const DWORD kCbChunk = 16384;
static const int kMaxReplacedInfs = 8;
static const size_t kCbIdMax = 2 * (sizeof kDeviceHardwareId / sizeof kDeviceHardwareId[0]);
static const size_t kHashesPerWrite = 512;
// What a rollback or a removal did, for its last log line and its exit code.
struct Tally {
    int putBack;
    int removed;
    int failed;
    int inUse;     // copies a device uses, which stayed
};

// The install folder's INF files that the rollback folder keeps: the earlier version's, which the
// run replaces or removes.
struct KeptInfs {
    int count;
    wchar_t name[kMaxReplacedInfs][MAX_PATH];
    unsigned long long cb[kMaxReplacedInfs];
    int replaced[kMaxReplacedInfs];   // the install folder now holds other bytes under the name
};

// ---- Paths and files ----

// `out` = `folder` + "\" + `name`; 0 when it would not fit.
static int JoinPath(wchar_t *out, const wchar_t *folder, const wchar_t *name)
{
    out[0] = 0;
    return AppendChecked(out, MAX_PATH, folder) && AppendChecked(out, MAX_PATH, L"\\") && AppendChecked(out, MAX_PATH, name);
}

static int StateFile(wchar_t *out, const wchar_t *name) { return JoinPath(out, kRollbackFolder, name); }

static int Exists(const wchar_t *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

static int IsFolder(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static int EndsWith(const wchar_t *name, const wchar_t *extension)
{
    size_t cch = wcslen(name);
    if (cch < kCchExtension) return 0;
    for (size_t i = 0; i < kCchExtension; ++i) {
        if ((wchar_t)towlower(name[cch - kCchExtension + i]) != extension[i]) return 0;
    }
    return 1;
}

// The ".pnf" twin of a path that ends in ".inf"; 0 when it has none.
static int TwinPath(const wchar_t *path, wchar_t *twin)
{
    if (!EndsWith(path, kInfExtension)) return 0;
    size_t cchStem = wcslen(path) - kCchExtension;
    memcpy(twin, path, cchStem * sizeof(wchar_t));
    twin[cchStem] = 0;
    return AppendChecked(twin, MAX_PATH, kTwinExtension);
}

static int InfDirectory(wchar_t *infDir)
{
    UINT cch = GetWindowsDirectoryW(infDir, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return 0;
    return AppendChecked(infDir, MAX_PATH, kInfSubfolder);
}

// The folder that holds `path`, as a new string; 0 when it has none below the drive.
static int ParentOf(const wchar_t *path, wchar_t *parent)
{
    const wchar_t *last = wcsrchr(path, L'\\');
    if (last == NULL || last - path < 3) return 0;
    memcpy(parent, path, (size_t)(last - path) * sizeof(wchar_t));
    parent[last - path] = 0;
    return 1;
}

// Creates every folder above `path` that is missing.
static int CreateParents(const wchar_t *path)
{
    wchar_t prefix[MAX_PATH];
    for (const wchar_t *at = wcschr(path + 3, L'\\'); at != NULL; at = wcschr(at + 1, L'\\')) {
        memcpy(prefix, path, (size_t)(at - path) * sizeof(wchar_t));
        prefix[at - path] = 0;
        if (!CreateDirectoryW(prefix, NULL) && !IsFolder(prefix)) return 0;
    }
    return 1;
}

// Deletes the file at `path` if anything stands there; 1 when nothing stands there afterwards.
static int DeleteIfStanding(const wchar_t *path)
{
    if (!Exists(path)) return 1;
    return DeleteFileW(path) ? 1 : 0;
}

// Writes `cb` bytes as a new file at `path` and flushes it: what is kept must outlast a power cut.
static int WriteNewFile(const wchar_t *path, const void *bytes, DWORD cb)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD cbWritten = 0;
    int written = (cb == 0 || (WriteFile(file, bytes, cb, &cbWritten, NULL) && cbWritten == cb)) && FlushFileBuffers(file);
    CloseHandle(file);
    return written;
}

// Copies the bytes of `from` to `to` (replacing it), flushed. A copy that fails is deleted.
static int CopyBytes(const wchar_t *from, const wchar_t *to)
{
    HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (source == INVALID_HANDLE_VALUE) return 0;
    HANDLE target = CreateFileW(to, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (target == INVALID_HANDLE_VALUE) {
        CloseHandle(source);
        return 0;
    }
    BYTE chunk[kCbChunk];
    int copied = 1;
    for (;;) {
        DWORD cbRead = 0;
        DWORD cbWritten = 0;
        if (!ReadFile(source, chunk, kCbChunk, &cbRead, NULL)) copied = 0;
        if (!copied || cbRead == 0) break;
        if (!WriteFile(target, chunk, cbRead, &cbWritten, NULL) || cbWritten != cbRead) copied = 0;
    }
    if (copied && !FlushFileBuffers(target)) copied = 0;
    CloseHandle(target);
    CloseHandle(source);
    if (!copied) (void)DeleteFileW(to);
    return copied;
}

// Reads up to `cb` bytes, as many reads as it takes; the count read, or -1 on a failed read.
static long ReadFull(HANDLE file, BYTE *bytes, DWORD cb)
{
    DWORD cbTotal = 0;
    while (cbTotal < cb) {
        DWORD cbRead = 0;
        if (!ReadFile(file, bytes + cbTotal, cb - cbTotal, &cbRead, NULL)) return -1;
        if (cbRead == 0) break;
        cbTotal += cbRead;
    }
    return (long)cbTotal;
}

// Whether the two files hold the same bytes; 0 when either cannot be read.
static int SameBytes(const wchar_t *first, const wchar_t *second)
{
    HANDLE one = CreateFileW(first, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (one == INVALID_HANDLE_VALUE) return 0;
    HANDLE two = CreateFileW(second, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (two == INVALID_HANDLE_VALUE) {
        CloseHandle(one);
        return 0;
    }
    BYTE a[kCbChunk];
    BYTE b[kCbChunk];
    int same = 1;
    for (;;) {
        long cbA = ReadFull(one, a, kCbChunk);
        long cbB = ReadFull(two, b, kCbChunk);
        if (cbA < 0 || cbA != cbB || memcmp(a, b, (size_t)cbA) != 0) same = 0;
        if (!same || cbA == 0) break;
    }
    CloseHandle(two);
    CloseHandle(one);
    return same;
}

// Deletes `folder` and everything in it; what cannot be deleted stays.
static void RemoveTree(const wchar_t *folder)
{
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW entry;
    if (!JoinPath(path, folder, kAllEntries)) return;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
            if (!JoinPath(path, folder, entry.cFileName)) continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else (void)DeleteFileW(path);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    (void)RemoveDirectoryW(folder);
}

// ---- The device's ID in a file's bytes ----

// The ID's bytes as the file would hold them: 8-bit text, or UTF-16 in the order its mark says.
static size_t IdBytes(const BYTE *start, DWORD cbStart, BYTE *id)
{
    size_t cch = wcslen(kDeviceHardwareId);
    int littleEndian = cbStart >= 2 && start[0] == 0xFF && start[1] == 0xFE;
    int bigEndian = cbStart >= 2 && start[0] == 0xFE && start[1] == 0xFF;
    for (size_t i = 0; i < cch; ++i) {
        BYTE low = (BYTE)(kDeviceHardwareId[i] & 0xFF);
        BYTE high = (BYTE)(kDeviceHardwareId[i] >> 8);
        if (littleEndian) { id[2 * i] = low; id[2 * i + 1] = high; }
        else if (bigEndian) { id[2 * i] = high; id[2 * i + 1] = low; }
        else id[i] = low;
    }
    return (littleEndian || bigEndian) ? 2 * cch : cch;
}

static int Contains(const BYTE *bytes, size_t cb, const BYTE *id, size_t cbId)
{
    for (size_t at = 0; at + cbId <= cb; ++at) {
        if (bytes[at] == id[0] && memcmp(bytes + at, id, cbId) == 0) return 1;
    }
    return 0;
}

int BytesNameDevice(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BYTE bytes[kCbIdMax + kCbChunk];
    BYTE id[kCbIdMax];
    size_t cbId = 0;
    size_t cbTail = 0;
    int names = 0;
    for (int first = 1;; first = 0) {
        DWORD cbRead = 0;
        if (!ReadFile(file, bytes + cbTail, kCbChunk, &cbRead, NULL) || cbRead == 0) break;
        if (first) cbId = IdBytes(bytes, cbRead, id);
        size_t cb = cbTail + cbRead;
        if (Contains(bytes, cb, id, cbId)) {
            names = 1;
            break;
        }
        if (cbRead < kCbChunk) break;   // the end: no read more than the file needs
        // The bytes an ID could straddle into the next chunk with.
        cbTail = cb < cbId - 1 ? cb : cbId - 1;
        memmove(bytes, bytes + cb - cbTail, cbTail);
    }
    CloseHandle(file);
    return names;
}

// ---- The names in the store ----

static int FlushHashes(HANDLE file, const unsigned long long *hashes, size_t count)
{
    DWORD cb = (DWORD)(count * sizeof hashes[0]);
    DWORD cbWritten = 0;
    return count == 0 || (WriteFile(file, hashes, cb, &cbWritten, NULL) && cbWritten == cb);
}

// Writes the hash of every file name in the store. Fails when the store holds more names than
// the rollback can tell apart.
static int WriteStoreNames(HANDLE file, const wchar_t *infDir, HANDLE log)
{
    wchar_t pattern[MAX_PATH];
    unsigned long long hashes[kHashesPerWrite];
    size_t pending = 0;
    size_t total = 0;
    WIN32_FIND_DATAW entry;
    if (!JoinPath(pattern, infDir, kAllEntries)) return 0;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    int written = 1;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (++total > kMaxStoreNames) {
            LogFormatted(log, L"the INF store holds more than %lu files: too many to keep track of", (unsigned long)kMaxStoreNames);
            written = 0;
            break;
        }
        hashes[pending++] = NameHash(entry.cFileName);
        if (pending == kHashesPerWrite) {
            written = FlushHashes(file, hashes, pending);
            pending = 0;
        }
    } while (written && FindNextFileW(search, &entry));
    FindClose(search);
    return written && FlushHashes(file, hashes, pending);
}

static int LoadStoreNames()
{
    wchar_t path[MAX_PATH];
    if (!StateFile(path, kStoreNamesName)) return 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    ClearNames();
    unsigned long long hashes[kHashesPerWrite];
    int loaded = 1;
    for (;;) {
        long cb = ReadFull(file, (BYTE *)hashes, (DWORD)sizeof hashes);
        if (cb < 0 || cb % (long)sizeof hashes[0] != 0) loaded = 0;
        if (!loaded || cb == 0) break;
        for (size_t i = 0; i < (size_t)cb / sizeof hashes[0] && loaded; ++i) loaded = AddName(hashes[i]);
    }
    CloseHandle(file);
    return loaded;
}

// ---- Keeping ----

static int MakeRollbackFolder(HANDLE log)
{
    wchar_t parent[MAX_PATH];
    wchar_t mark[MAX_PATH];
    if (!ParentOf(kRollbackFolder, parent)) return 0;
    int parentNew = !Exists(parent);
    if ((parentNew && !CreateDirectoryW(parent, NULL)) || !CreateDirectoryW(kRollbackFolder, NULL)) {
        LogFormatted(log, L"could not create %ls (error 0x%lx)", kRollbackFolder, (unsigned long)GetLastError());
        if (parentNew) (void)RemoveDirectoryW(parent);   // only when this made it, and it is empty
        return 0;
    }
    if (!parentNew) return 1;
    return StateFile(mark, kNewParentFolderName) && WriteNewFile(mark, NULL, 0);
}

static int KeepStoreNames(const wchar_t *infDir, HANDLE log)
{
    wchar_t path[MAX_PATH];
    if (!StateFile(path, kStoreNamesName)) return 0;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int kept = WriteStoreNames(file, infDir, log) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!kept) LogFormatted(log, L"could not keep the names of the INF store's files");
    return kept;
}

// Keeps the store's file `name` in the rollback folder's "inf"; 1 when there is none. A second
// name for the same bytes (a hard link: nothing is copied, and it outlasts a power cut as the
// deletion that follows does) where the volume allows, else a copy.
static int KeepStoreFile(const wchar_t *infDir, const wchar_t *keptDir, const wchar_t *name, HANDLE log)
{
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    if (!JoinPath(from, infDir, name) || !JoinPath(to, keptDir, name)) return 0;
    if (!Exists(from)) return 1;
    if (CreateHardLinkW(to, from, NULL) || CopyBytes(from, to)) return 1;
    LogFormatted(log, L"could not keep a copy of %ls (error 0x%lx)", from, (unsigned long)GetLastError());
    return 0;
}

static unsigned long long EntrySize(const WIN32_FIND_DATAW *entry)
{
    return ((unsigned long long)entry->nFileSizeHigh << 32) | entry->nFileSizeLow;
}

// The kept INF files of the install folder, with their sizes, and whether the install folder now
// holds other bytes under each name.
static void FindKeptInfs(KeptInfs *infs)
{
    wchar_t keptDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t kept[MAX_PATH];
    wchar_t placed[MAX_PATH];
    WIN32_FIND_DATAW entry;
    infs->count = 0;
    if (!StateFile(keptDir, kKeptFilesName) || !JoinPath(path, keptDir, kInfPattern)) return;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        int i = infs->count;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcslen(entry.cFileName) >= MAX_PATH) continue;
        if (!JoinPath(kept, keptDir, entry.cFileName) || !JoinPath(placed, kInstallFolder, entry.cFileName)) continue;
        wcscpy(infs->name[i], entry.cFileName);
        infs->cb[i] = EntrySize(&entry);
        infs->replaced[i] = !SameBytes(kept, placed);
        infs->count++;
    } while (infs->count < kMaxReplacedInfs && FindNextFileW(search, &entry));
    FindClose(search);
}

// Whether a store copy of `cb` bytes equals one of the kept INF files (with `onlyReplaced`, one the
// run replaced with other bytes).
static int SameAsKeptInf(const KeptInfs *infs, const wchar_t *path, unsigned long long cb, int onlyReplaced)
{
    wchar_t keptDir[MAX_PATH];
    wchar_t kept[MAX_PATH];
    if (!StateFile(keptDir, kKeptFilesName)) return 0;
    for (int i = 0; i < infs->count; ++i) {
        if (infs->cb[i] != cb || (onlyReplaced && !infs->replaced[i])) continue;   // sizes first: cheap
        if (JoinPath(kept, keptDir, infs->name[i]) && SameBytes(kept, path)) return 1;
    }
    return 0;
}

// Keeps every OEM copy that DriverPrep's purge, an uninstall or an upgrade could remove: each whose
// bytes name the device or equal a kept INF file of the install folder, with its twin.
static int KeepStoreCopies(const wchar_t *infDir, HANDLE log)
{
    wchar_t keptDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t twin[MAX_PATH];
    WIN32_FIND_DATAW entry;
    KeptInfs infs;
    FindKeptInfs(&infs);
    if (!StateFile(keptDir, kKeptCopiesName) || !CreateDirectoryW(keptDir, NULL)) return 0;
    if (!JoinPath(path, infDir, kOemInfPattern)) return 0;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) return 1;   // no OEM copy at all
    int kept = 1;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(path, infDir, entry.cFileName)) continue;
        if (!BytesNameDevice(path) && !SameAsKeptInf(&infs, path, EntrySize(&entry), 0)) continue;
        kept = KeepStoreFile(infDir, keptDir, entry.cFileName, log);
        if (kept && TwinPath(entry.cFileName, twin)) kept = KeepStoreFile(infDir, keptDir, twin, log);
        if (kept) LogFormatted(log, L"kept a copy of %ls (and of its twin)", path);
    } while (kept && FindNextFileW(search, &entry));
    FindClose(search);
    return kept;
}

// For each file the run places: a copy of the one that stands there now, or a note that none does.
static int KeepInstallFiles(const RollbackOptions *options, HANDLE log)
{
    wchar_t path[MAX_PATH];
    wchar_t state[MAX_PATH];
    wchar_t stateFile[MAX_PATH];
    if (!Exists(kInstallFolder) && !(StateFile(path, kNewInstallFolderName) && WriteNewFile(path, NULL, 0))) return 0;
    for (int i = 0; i < options->placedCount; ++i) {
        const wchar_t *relative = options->placed[i];
        DWORD attributes = 0;
        if (!JoinPath(path, kInstallFolder, relative)) return 0;
        attributes = GetFileAttributesW(path);
        int stands = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (!StateFile(state, stands ? kKeptFilesName : kNewFilesName) || !JoinPath(stateFile, state, relative) ||
            !CreateParents(stateFile) || !(stands ? CopyBytes(path, stateFile) : WriteNewFile(stateFile, NULL, 0))) {
            LogFormatted(log, L"could not keep %ls as it stands", path);
            return 0;
        }
    }
    return 1;
}

static int KeepVersionAndArm(const RollbackOptions *options)
{
    wchar_t path[MAX_PATH];
    if (options->version != NULL) {
        size_t cch = wcslen(options->version);
        BYTE text[MAX_PATH * 2];
        if (cch > MAX_PATH) return 0;
        DWORD cb = (DWORD)(cch * 2);
        // UTF-16LE whatever the build's wchar_t: the package reads it so.
        for (size_t i = 0; i < cch; ++i) {
            text[2 * i] = (BYTE)(options->version[i] & 0xFF);
            text[2 * i + 1] = (BYTE)(options->version[i] >> 8);
        }
        if (!StateFile(path, kKeptVersionName) || !WriteNewFile(path, text, cb)) return 0;
    }
    return StateFile(path, kArmedName) && WriteNewFile(path, NULL, 0);
}

int KeepMachineState(const RollbackOptions *options)
{
    HANDLE log = OpenSetupLog(options->logPath);
    wchar_t infDir[MAX_PATH];
    wchar_t parent[MAX_PATH];
    int made = MakeRollbackFolder(log);
    int kept = made && InfDirectory(infDir) && KeepStoreNames(infDir, log) && KeepInstallFiles(options, log) &&
               KeepStoreCopies(infDir, log) && KeepVersionAndArm(options);
    if (!kept) {
        wchar_t mark[MAX_PATH];
        int parentNew = made && StateFile(mark, kNewParentFolderName) && Exists(mark);
        if (made) RemoveTree(kRollbackFolder);
        if (parentNew && ParentOf(kRollbackFolder, parent)) (void)RemoveDirectoryW(parent);
        LogFormatted(log, L"could not keep what the run may change; nothing was changed");
    }
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    return kept ? kRollbackDone : kRollbackIncomplete;
}

// ---- Putting back ----

// Takes the store's copy `name` out through the copy service's uninstall. Wine's reports success
// and deletes nothing: whatever still stands of the copy and its twin is deleted here.
static int RemoveCopy(const wchar_t *infDir, const wchar_t *name, const wchar_t *why, HANDLE log, Tally *tally)
{
    wchar_t path[MAX_PATH];
    wchar_t twin[MAX_PATH];
    if (!JoinPath(path, infDir, name)) return 0;
    SetLastError(0);
    if (!SetupUninstallOEMInfW(name, 0, NULL)) {
        DWORD error = GetLastError();
        if (error == ERROR_INF_IN_USE_BY_DEVICES) {
            LogFormatted(log, L"left %ls: a device already uses it (uninstall the device, then run the package again)", path);
            tally->inUse++;
        } else {
            LogFormatted(log, L"could not remove %ls (error 0x%lx)", path, (unsigned long)error);
        }
        tally->failed++;
        return 0;
    }
    if ((TwinPath(path, twin) && !DeleteIfStanding(twin)) || !DeleteIfStanding(path)) {
        LogFormatted(log, L"could not delete %ls (error 0x%lx)", path, (unsigned long)GetLastError());
        tally->failed++;
        return 0;
    }
    LogFormatted(log, L"removed %ls, %ls", path, why);
    tally->removed++;
    return 1;
}

// Removes every copy whose name the store did not hold when the run began.
static void RemoveNewCopies(const wchar_t *infDir, HANDLE log, Tally *tally)
{
    wchar_t pattern[MAX_PATH];
    WIN32_FIND_DATAW entry;
    if (!JoinPath(pattern, infDir, kInfPattern)) return;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (!HasName(NameHash(entry.cFileName))) (void)RemoveCopy(infDir, entry.cFileName, kStagedByTheRun, log, tally);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// Puts back each kept copy (of `pattern`) that is gone or differs. A differing INF is a copy the
// run staged under the name of one DriverPrep removed (Windows hands out the lowest free oemN):
// it is removed first.
static void PutBackCopies(const wchar_t *infDir, const wchar_t *pattern, HANDLE log, Tally *tally)
{
    wchar_t keptDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t kept[MAX_PATH];
    WIN32_FIND_DATAW entry;
    if (!StateFile(keptDir, kKeptCopiesName) || !JoinPath(path, keptDir, pattern)) return;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!JoinPath(kept, keptDir, entry.cFileName) || !JoinPath(path, infDir, entry.cFileName)) {
            tally->failed++;
            continue;
        }
        if (Exists(path)) {
            if (SameBytes(kept, path)) continue;
            int isInf = EndsWith(entry.cFileName, kInfExtension);
            if (isInf ? !RemoveCopy(infDir, entry.cFileName, kStagedByTheRun, log, tally) : !DeleteIfStanding(path)) {
                if (!isInf) tally->failed++;   // RemoveCopy counts its own failure
                LogFormatted(log, L"could not put back %ls", path);
                continue;
            }
        }
        if (CopyBytes(kept, path)) {
            LogFormatted(log, L"put back %ls", path);
            tally->putBack++;
        } else {
            LogFormatted(log, L"could not put back %ls (error 0x%lx)", path, (unsigned long)GetLastError());
            tally->failed++;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

enum PlacedWork { kRemovePlaced, kPutBackKept };

// Walks a tree of the rollback folder ("new" or "kept") alongside the install folder: removes the
// files the run placed there, or puts back the kept ones. Emptied folders of placed files go.
static void WalkPlaced(PlacedWork work, const wchar_t *stateDir, const wchar_t *installDir, HANDLE log, Tally *tally)
{
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    WIN32_FIND_DATAW entry;
    if (!JoinPath(from, stateDir, kAllEntries)) return;
    HANDLE search = FindFirstFileW(from, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
        if (!JoinPath(from, stateDir, entry.cFileName) || !JoinPath(to, installDir, entry.cFileName)) {
            tally->failed++;
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            WalkPlaced(work, from, to, log, tally);
            if (work == kRemovePlaced) (void)RemoveDirectoryW(to);   // only when it is empty
        } else if (work == kRemovePlaced) {
            int stood = Exists(to);
            if (!DeleteIfStanding(to)) {
                LogFormatted(log, L"could not remove %ls (error 0x%lx)", to, (unsigned long)GetLastError());
                tally->failed++;
            } else if (stood) {
                LogFormatted(log, L"removed %ls, placed by the run", to);
            }
        } else if (Exists(to) && SameBytes(from, to)) {
            // As it was. A file in use (the uninstaller the entry runs) could not be rewritten.
        } else if (CreateParents(to) && CopyBytes(from, to)) {
            LogFormatted(log, L"put back %ls", to);
            tally->putBack++;
        } else {
            LogFormatted(log, L"could not put back %ls (error 0x%lx)", to, (unsigned long)GetLastError());
            tally->failed++;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

int RollBackMachineState(const RollbackOptions *options)
{
    HANDLE log = OpenSetupLog(options->logPath);
    wchar_t path[MAX_PATH];
    wchar_t infDir[MAX_PATH];
    wchar_t parent[MAX_PATH];
    Tally tally = {0, 0, 0, 0};
    if (!StateFile(path, kArmedName) || !Exists(path)) {
        // Nothing was kept, so nothing was changed: a partial rollback folder just goes.
        if (IsFolder(kRollbackFolder)) RemoveTree(kRollbackFolder);
        if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
        return kRollbackDone;
    }
    if (!InfDirectory(infDir)) {
        LogFormatted(log, L"the INF store cannot be found: nothing in it was put back");
        tally.failed++;
    } else {
        if (LoadStoreNames()) {
            RemoveNewCopies(infDir, log, &tally);
        } else {
            LogFormatted(log, L"the kept names of the INF store cannot be read: copies the run staged stay");
            tally.failed++;
        }
        PutBackCopies(infDir, kInfPattern, log, &tally);
        PutBackCopies(infDir, kTwinPattern, log, &tally);
    }
    if (StateFile(path, kNewFilesName)) WalkPlaced(kRemovePlaced, path, kInstallFolder, log, &tally);
    if (StateFile(path, kKeptFilesName)) WalkPlaced(kPutBackKept, path, kInstallFolder, log, &tally);
    int installFolderNew = StateFile(path, kNewInstallFolderName) && Exists(path);
    int parentNew = StateFile(path, kNewParentFolderName) && Exists(path);
    // The mark goes first: a rollback cut off from here on is not repeated.
    if (StateFile(path, kArmedName)) (void)DeleteFileW(path);
    RemoveTree(kRollbackFolder);
    if (installFolderNew) (void)RemoveDirectoryW(kInstallFolder);   // only when it is empty
    if (parentNew && ParentOf(kRollbackFolder, parent)) (void)RemoveDirectoryW(parent);
    if (tally.failed != 0)
        LogFormatted(log, L"rolled back, but not everything (files put back: %d, copies removed: %d, not put back: %d)",
                     tally.putBack, tally.removed, tally.failed);
    else
        LogFormatted(log, L"rolled back (files put back: %d, copies removed: %d)", tally.putBack, tally.removed);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    return tally.failed != 0 ? kRollbackIncomplete : kRollbackDone;
}

// ---- Removing the product's copies ----

int RemoveStoreCopies(const RollbackOptions *options)
{
    HANDLE log = OpenSetupLog(options->logPath);
    const int onlyReplaced = options->mode == kModeRemoveReplacedCopies;
    const wchar_t *why = onlyReplaced ? L"staged by the version this one replaces" : L"a copy of the product's driver packages";
    wchar_t infDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW entry;
    Tally tally = {0, 0, 0, 0};
    KeptInfs infs;
    FindKeptInfs(&infs);
    HANDLE search = INVALID_HANDLE_VALUE;
    if (InfDirectory(infDir) && JoinPath(path, infDir, kOemInfPattern)) search = FindFirstFileW(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(path, infDir, entry.cFileName)) continue;
            if (SameAsKeptInf(&infs, path, EntrySize(&entry), onlyReplaced) || (!onlyReplaced && BytesNameDevice(path)))
                (void)RemoveCopy(infDir, entry.cFileName, why, log, &tally);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    LogFormatted(log, L"copies removed: %d, left: %d", tally.removed, tally.failed);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    if (tally.inUse != 0) return kRollbackInUse;
    return tally.failed != 0 ? kRollbackIncomplete : kRollbackDone;
}

int RunRollbackMode(const RollbackOptions *options)
{
    switch (options->mode) {
    case kModeKeep: return KeepMachineState(options);
    case kModeRollback: return RollBackMachineState(options);
    default: return RemoveStoreCopies(options);
    }
}

// ---- The command line ----

static const wchar_t *OptionValue(const wchar_t *arg, const wchar_t *option)
{
    size_t cchOption = wcslen(option);
    return wcsncmp(arg, option, cchOption) == 0 ? arg + cchOption : NULL;
}

// A path relative to the install folder that stays inside it: no drive, no leading "\", no "..".
static int IsInsidePath(const wchar_t *path)
{
    if (path[0] == 0 || path[0] == L'\\' || wcschr(path, L':') != NULL || wcschr(path, L'/') != NULL) return 0;
    for (const wchar_t *part = path; part != NULL; part = wcschr(part, L'\\')) {
        if (*part == L'\\') ++part;
        if (wcsncmp(part, L"..", 2) == 0 && (part[2] == 0 || part[2] == L'\\')) return 0;
        if (*part == 0 || *part == L'\\') return 0;   // an empty part
    }
    return 1;
}

int ParseRollbackOptions(int argc, wchar_t **argv, RollbackOptions *options)
{
    memset(options, 0, sizeof *options);
    if (argc < 2) return 0;
    size_t mode = 0;
    while (mode < sizeof kModeSwitches / sizeof kModeSwitches[0] && wcscmp(argv[1], kModeSwitches[mode]) != 0) ++mode;
    if (mode == sizeof kModeSwitches / sizeof kModeSwitches[0]) return 0;
    options->mode = (RollbackMode)mode;
    const int keep = options->mode == kModeKeep;
    for (int i = 2; i < argc; ++i) {
        const wchar_t *value = NULL;
        if ((value = OptionValue(argv[i], kLogOption)) != NULL) {
            if (*value == 0) return 0;
            options->logPath = value;
        } else if (keep && (value = OptionValue(argv[i], kVersionOption)) != NULL) {
            options->version = value;
        } else if (keep && (value = OptionValue(argv[i], kPlaceOption)) != NULL) {
            if (options->placedCount >= kMaxPlacedFiles || !IsInsidePath(value)) return 0;
            options->placed[options->placedCount++] = value;
        } else {
            return 0;
        }
    }
    return 1;
}
