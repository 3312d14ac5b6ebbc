// The INF store's copies. What the run staged is told by content: a copy is the run's when its
// bytes are those of an INF file the run placed (the copy service copies an INF byte for byte)
// and its name did not hold those bytes before. Everything else in the store stays, whatever its
// name and whenever it appeared.
#include "rollback_parts.h"

#include "device_match.h"
#include "install_layout.h"
#include "name_set.h"
#include "setup_rollback.h"
#include "wide_text.h"

#include <setupapi.h>
#include <string.h>

static const wchar_t kInfPattern[] = L"*.inf";
static const wchar_t kOwnFolderName[] = L"own";
static const wchar_t kKeptFolderName[] = L"kept";
static const wchar_t kKeptCopiesName[] = L"inf";
static const wchar_t kStagedByTheRun[] = L"staged by the run";
static const wchar_t kProductCopy[] = L"a copy of the product's driver packages";
static const wchar_t kReplacedCopy[] = L"staged by the version this one replaced";
// Where Windows records, for each installed device, the INF store's copy it was installed from.
static const wchar_t kClassKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Class";
static const wchar_t kInfPathValue[] = L"InfPath";
static const int kMaxSetInfs = 8;

// INF files of a state's folder ("own": the run's, "kept": the earlier version's), with sizes.
struct InfSet {
    int count;
    wchar_t path[kMaxSetInfs][MAX_PATH];
    unsigned long long cb[kMaxSetInfs];
};

// The INF files at the top of `dir`.
static void LoadInfFolder(const wchar_t *dir, InfSet *set)
{
    wchar_t pattern[MAX_PATH];
    WIN32_FIND_DATAW entry;
    set->count = 0;
    if (!JoinPath(pattern, dir, kInfPattern)) return;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(set->path[set->count], dir, entry.cFileName)) continue;
        set->cb[set->count++] = EntrySize(&entry);
    } while (set->count < kMaxSetInfs && FindNextFileW(search, &entry));
    FindClose(search);
}

static void LoadInfSet(const wchar_t *folder, const wchar_t *sub, InfSet *set)
{
    wchar_t dir[MAX_PATH];
    set->count = 0;
    if (JoinPath(dir, folder, sub)) LoadInfFolder(dir, set);
}

// The set's file that `path` (of `cb` bytes) equals, or -1: sizes first, which is cheap.
static int MatchInSet(const InfSet *set, const wchar_t *path, unsigned long long cb)
{
    for (int i = 0; i < set->count; ++i) {
        if (set->cb[i] == cb && SameBytes(set->path[i], path)) return i;
    }
    return -1;
}

int KeepOwnInfs(RecordWriter *record, const wchar_t *workList)
{
    WorkReader work;
    wchar_t relative[MAX_PATH];
    wchar_t from[MAX_PATH];
    wchar_t ownDir[MAX_PATH];
    wchar_t to[MAX_PATH];
    unsigned long long cb = 0;
    unsigned long long hash = 0;
    int count = 0;
    if (!JoinPath(ownDir, record->folder, kOwnFolderName) || !CreateDirectoryW(ownDir, NULL)) return 0;
    if (!OpenWorkList(&work, workList)) {
        Note(L"could not read the work list %ls", workList);
        return 0;
    }
    int kept = 1;
    while (kept && NextWork(&work, kWorkInf, relative)) {
        const wchar_t *name = wcsrchr(relative, L'\\') ? wcsrchr(relative, L'\\') + 1 : relative;
        if (JoinPath(from, work.folder, relative) && !Exists(from)) {
            // An uninstall whose install folder lost an INF file: its copies are still known by
            // the device's ID.
            Note(L"%ls is not there: copies holding its bytes are not told apart", from);
            continue;
        }
        kept = ++count <= kMaxSetInfs && JoinPath(from, work.folder, relative) && JoinPath(to, ownDir, name) &&
               CopyBytes(from, to) && HashFile(to, &cb, &hash);
        if (kept) AddRecord(record, kRecordOwn, cb, hash, name);
        else Note(L"could not keep the run's INF file %ls", relative);
    }
    kept = kept && !work.text.failed;
    CloseWorkList(&work);
    return kept;
}

// Keeps the store's file `name` in the state's "inf" folder and records it: a second name for the
// same bytes (a hard link: nothing is copied, and it outlasts a power cut as the deletion that
// follows does) where the volume allows, else a copy.
static int KeepStoreFile(RecordWriter *record, const wchar_t *infDir, const wchar_t *keptDir, const wchar_t *name)
{
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    unsigned long long cb = 0;
    unsigned long long hash = 0;
    if (!JoinPath(from, infDir, name) || !JoinPath(to, keptDir, name)) return 0;
    if (!Exists(from)) return 1;
    if ((CreateHardLinkW(to, from, NULL) || CopyBytes(from, to)) && HashFile(to, &cb, &hash)) {
        AddRecord(record, kRecordCopy, cb, hash, name);
        return 1;
    }
    Note(L"could not keep a copy of %ls (error 0x%lx)", from, (unsigned long)GetLastError());
    return 0;
}

// Ends a listing: 1 when it ended because there was nothing more, not on an error.
static int ListingWhole(const wchar_t *what)
{
    DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return 1;
    Note(L"the listing of %ls ended on error 0x%lx", what, (unsigned long)error);
    return 0;
}

// What the keep does with the store's entry `name` (at `path`, of `cb` bytes): its bytes are those
// of the run's INF file number `*own` (-1 when none); and it is kept (1) when it is an OEM copy
// DriverPrep's purge, an uninstall or an upgrade may remove: one whose bytes name the device (by
// DriverPrep's own match), or equal the run's INF files or the earlier version's.
static int KeptByTheRun(const wchar_t *path, const wchar_t *name, unsigned long long cb, const InfSet *own,
                        const InfSet *earlier, int *ownIndex)
{
    *ownIndex = MatchInSet(own, path, cb);
    return IsOemInf(name) &&
           (*ownIndex >= 0 || FileNamesDevice(path, kCbChunk) == kNamesDevice || MatchInSet(earlier, path, cb) >= 0);
}

// Keeps, for the store as it stands: the names that hold the run's INF bytes already, and every
// copy KeptByTheRun names, with its twin.
int KeepStoreCopies(RecordWriter *record)
{
    wchar_t infDir[MAX_PATH];
    wchar_t keptDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t twin[MAX_PATH];
    WIN32_FIND_DATAW entry;
    InfSet own;
    InfSet earlier;
    LoadInfSet(record->folder, kOwnFolderName, &own);
    LoadInfSet(record->folder, kKeptFolderName, &earlier);
    if (!InfDirectory(infDir) || !JoinPath(keptDir, record->folder, kKeptCopiesName) || !CreateDirectoryW(keptDir, NULL) ||
        !JoinPath(path, infDir, kInfPattern))
        return 0;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    int kept = 1;
    for (;;) {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && JoinPath(path, infDir, entry.cFileName)) {
            int ownIndex = -1;
            const int keep = KeptByTheRun(path, entry.cFileName, EntrySize(&entry), &own, &earlier, &ownIndex);
            if (ownIndex >= 0) AddRecord(record, kRecordOurs, 0, 0, entry.cFileName);
            if (keep) {
                kept = KeepStoreFile(record, infDir, keptDir, entry.cFileName) &&
                       (!TwinPath(entry.cFileName, twin) || KeepStoreFile(record, infDir, keptDir, twin));
                if (kept) Note(L"kept a copy of %ls (and of its twin)", path);
            }
        }
        if (!kept) break;
        if (!FindNextFileW(search, &entry)) {
            kept = ListingWhole(infDir);
            break;
        }
    }
    FindClose(search);
    return kept;
}

int StagedCopiesStand(const wchar_t *ownDir)
{
    wchar_t infDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW entry;
    InfSet own;
    int held[kMaxSetInfs] = {0};
    LoadInfFolder(ownDir, &own);
    if (own.count == 0 || !InfDirectory(infDir) || !JoinPath(path, infDir, kInfPattern)) return 0;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(path, infDir, entry.cFileName)) continue;
            int ownIndex = MatchInSet(&own, path, EntrySize(&entry));
            if (ownIndex >= 0) held[ownIndex] = 1;
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    int all = 1;
    for (int i = 0; i < own.count; ++i) {
        if (held[i]) continue;
        Note(L"the INF store holds no copy of %ls", wcsrchr(own.path[i], L'\\') + 1);
        all = 0;
    }
    return all;
}

// The names the purge would delete are in the name table (name_set.h).
int PreviewStoreCopies(const wchar_t *ownDir)
{
    wchar_t infDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t twin[MAX_PATH];
    WIN32_FIND_DATAW entry;
    InfSet own;
    InfSet earlier;
    int held[kMaxSetInfs] = {0};
    LoadInfFolder(ownDir, &own);
    LoadInfFolder(kInstallFolder, &earlier);
    if (!InfDirectory(infDir) || !JoinPath(path, infDir, kInfPattern)) return 0;
    HANDLE search = FindFirstFileW(path, &entry);
    int whole = search != INVALID_HANDLE_VALUE || GetLastError() == ERROR_FILE_NOT_FOUND;
    for (int more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(path, infDir, entry.cFileName)) continue;
        int ownIndex = -1;
        if (KeptByTheRun(path, entry.cFileName, EntrySize(&entry), &own, &earlier, &ownIndex)) {
            int twinStands = TwinPath(path, twin) && Exists(twin);
            Note(L"a run would keep %ls%ls%ls for its rollback", path, twinStands ? L" and " : L"", twinStands ? twin : L"");
        }
        if (ownIndex >= 0 && HasName(NameHash(entry.cFileName))) {
            Note(L"%ls holds the bytes of %ls, but the purge would delete it first", path, wcsrchr(own.path[ownIndex], L'\\') + 1);
        } else if (ownIndex >= 0) {
            held[ownIndex] = 1;
            Note(L"the store holds %ls with the bytes of %ls already: the copy service would use it again", path,
                 wcsrchr(own.path[ownIndex], L'\\') + 1);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        whole = ListingWhole(infDir);
        FindClose(search);
    }
    for (int i = 0; i < own.count; ++i) {
        if (!held[i]) Note(L"PkgStage would stage %ls as a new copy in the INF store", wcsrchr(own.path[i], L'\\') + 1);
    }
    return whole;
}

// Takes the store's copy `name` out through the copy service's uninstall. Wine's reports success
// and deletes nothing: whatever still stands of the copy and its twin is deleted here.
static int RemoveCopy(const wchar_t *infDir, const wchar_t *name, const wchar_t *why, Tally *tally)
{
    wchar_t path[MAX_PATH];
    wchar_t twin[MAX_PATH];
    if (!JoinPath(path, infDir, name)) return 0;
    SetLastError(0);
    if (!SetupUninstallOEMInfW(name, 0, NULL)) {
        DWORD error = GetLastError();
        if (error == ERROR_INF_IN_USE_BY_DEVICES) {
            Note(L"left %ls: a device already uses it (uninstall the device, then run the package again)", path);
            tally->inUse++;
        } else {
            Note(L"could not remove %ls (error 0x%lx)", path, (unsigned long)error);
        }
        tally->failed++;
        return 0;
    }
    if ((TwinPath(path, twin) && !DeleteIfStanding(twin)) || !DeleteIfStanding(path)) {
        Note(L"could not delete %ls (error 0x%lx)", path, (unsigned long)GetLastError());
        tally->failed++;
        return 0;
    }
    Note(L"removed %ls, %ls", path, why);
    tally->removed++;
    return 1;
}

// The names the store held the run's INF bytes under before the run, from the record.
static int LoadOurNames(const wchar_t *folder)
{
    RecordReader record;
    RecordEntry entry;
    ClearNames();
    if (!OpenRecord(&record, folder, kArmedName)) return 0;
    int loaded = 1;
    while (loaded && NextRecord(&record, &entry)) {
        if (entry.kind == kRecordOurs) loaded = AddName(NameHash(entry.text));
    }
    CloseRecord(&record);
    return loaded;
}

int RemoveStagedCopies(const wchar_t *folder, Tally *tally)
{
    wchar_t infDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW entry;
    InfSet own;
    LoadInfSet(folder, kOwnFolderName, &own);
    if (!LoadOurNames(folder) || !InfDirectory(infDir) || !JoinPath(path, infDir, kInfPattern)) return 0;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) return 1;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(path, infDir, entry.cFileName)) continue;
        if (MatchInSet(&own, path, EntrySize(&entry)) >= 0 && !HasName(NameHash(entry.cFileName)))
            (void)RemoveCopy(infDir, entry.cFileName, kStagedByTheRun, tally);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return 1;
}

// Puts back one kept copy. A name that now holds other bytes is another package's: the kept copy
// stays kept, for a later run, and the log says so.
static void PutBackCopy(const wchar_t *folder, const RecordEntry *entry, const InfSet *own, Tally *tally)
{
    wchar_t infDir[MAX_PATH];
    wchar_t store[MAX_PATH];
    wchar_t kept[MAX_PATH];
    if (!InfDirectory(infDir) || !JoinPath(store, infDir, entry->text) || !KeptFilePath(folder, entry, kept)) {
        tally->failed++;
        return;
    }
    if (Exists(store)) {
        if (SameBytes(kept, store)) return;
        if (EndsWith(entry->text, L".inf")) {
            unsigned long long cb = 0;
            unsigned long long hash = 0;
            if (HashFile(store, &cb, &hash) && MatchInSet(own, store, cb) >= 0)
                Note(L"could not put back %ls: the run's copy there could not be removed", store);
            else
                Note(L"%ls now holds another package: the earlier copy stays kept in %ls", store, folder);
            tally->failed++;
            return;
        }
        if (!DeleteIfStanding(store)) {   // a twin: its INF is back, so it is that INF's
            Note(L"could not put back %ls (error 0x%lx)", store, (unsigned long)GetLastError());
            tally->failed++;
            return;
        }
    }
    if (PutBackWhole(kept, store)) {
        Note(L"put back %ls", store);
        tally->putBack++;
    } else {
        Note(L"could not put back %ls (error 0x%lx)", store, (unsigned long)GetLastError());
        tally->failed++;
    }
}

// Whether the store's INF of a kept twin is the kept one again (else the twin waits with it).
static int TwinsInfIsBack(const wchar_t *folder, const wchar_t *twinName)
{
    wchar_t name[MAX_PATH];
    wchar_t infDir[MAX_PATH];
    wchar_t store[MAX_PATH];
    wchar_t keptDir[MAX_PATH];
    wchar_t kept[MAX_PATH];
    size_t cch = wcslen(twinName);
    wcscpy(name, twinName);
    wcscpy(name + cch - 4, L".inf");
    if (!JoinPath(keptDir, folder, kKeptCopiesName) || !JoinPath(kept, keptDir, name)) return 0;
    return !Exists(kept) || (InfDirectory(infDir) && JoinPath(store, infDir, name) && SameBytes(kept, store));
}

void PutBackCopies(const wchar_t *folder, Tally *tally)
{
    RecordReader record;
    RecordEntry entry;
    InfSet own;
    LoadInfSet(folder, kOwnFolderName, &own);
    for (int twins = 0; twins <= 1; ++twins) {   // each INF, then its twin
        if (!OpenRecord(&record, folder, kArmedName)) {
            tally->failed++;
            return;
        }
        while (NextRecord(&record, &entry)) {
            if (entry.kind != kRecordCopy || EndsWith(entry.text, L".pnf") != twins) continue;
            if (twins && !TwinsInfIsBack(folder, entry.text)) continue;
            PutBackCopy(folder, &entry, &own, tally);
        }
        CloseRecord(&record);
    }
}

// Adds to the name table the store copy each device key of one class names.
static void AddClassDeviceInfs(HKEY classes, const wchar_t *className)
{
    HKEY classKey = NULL;
    wchar_t device[MAX_PATH];
    wchar_t infPath[MAX_PATH];
    if (RegOpenKeyExW(classes, className, 0, KEY_READ | KEY_WOW64_64KEY, &classKey) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        HKEY driver = NULL;
        DWORD cchDevice = MAX_PATH;
        DWORD type = 0;
        DWORD cbInfPath = sizeof infPath - sizeof infPath[0];
        if (RegEnumKeyExW(classKey, i, device, &cchDevice, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        if (RegOpenKeyExW(classKey, device, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &driver) != ERROR_SUCCESS) continue;
        memset(infPath, 0, sizeof infPath);
        if (RegQueryValueExW(driver, kInfPathValue, NULL, &type, (BYTE *)infPath, &cbInfPath) == ERROR_SUCCESS && type == REG_SZ)
            (void)AddName(NameHash(infPath));
        RegCloseKey(driver);
    }
    RegCloseKey(classKey);
}

// Fills the name table with the store copies installed devices use: Windows records, in each
// device's driver key, the copy it was installed from.
static void LoadDeviceInfs()
{
    HKEY classes = NULL;
    wchar_t className[MAX_PATH];
    ClearNames();
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | KEY_WOW64_64KEY, &classes) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        DWORD cchClass = MAX_PATH;
        if (RegEnumKeyExW(classes, i, className, &cchClass, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        AddClassDeviceInfs(classes, className);
    }
    RegCloseKey(classes);
}

// Whether the OEM copy at `path` is the product's to remove: with `replaced`, a copy of an INF the
// upgrade replaced; else any copy of the product's (naming the device, or equal to an INF of the
// run's or of the version installed).
static int IsProductCopy(const wchar_t *path, unsigned long long cb, const InfSet *own, const InfSet *earlier,
                         const InfSet *replaced, int onlyReplaced)
{
    if (onlyReplaced) return MatchInSet(replaced, path, cb) >= 0;
    return FileNamesDevice(path, kCbChunk) == kNamesDevice || MatchInSet(own, path, cb) >= 0 || MatchInSet(earlier, path, cb) >= 0;
}

int RemoveProductCopies(const wchar_t *folder, int onlyReplaced, Tally *tally)
{
    wchar_t infDir[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t placed[MAX_PATH];
    WIN32_FIND_DATAW entry;
    InfSet own;
    InfSet earlier;
    InfSet replaced;
    LoadInfSet(folder, kOwnFolderName, &own);
    LoadInfSet(folder, kKeptFolderName, &earlier);
    replaced.count = 0;
    for (int i = 0; i < earlier.count; ++i) {   // an earlier INF the install folder now holds other bytes under
        const wchar_t *name = wcsrchr(earlier.path[i], L'\\') + 1;
        if (JoinPath(placed, kInstallFolder, name) && !SameBytes(earlier.path[i], placed)) {
            wcscpy(replaced.path[replaced.count], earlier.path[i]);
            replaced.cb[replaced.count++] = earlier.cb[i];
        }
    }
    LoadDeviceInfs();
    if (!InfDirectory(infDir) || !JoinPath(path, infDir, L"oem*.inf")) return 0;
    // Every copy a device uses is found before any is removed: an uninstall removes all or none.
    for (int pass = 0; pass <= 1; ++pass) {
        HANDLE search = FindFirstFileW(path, &entry);
        if (search == INVALID_HANDLE_VALUE) return 1;
        do {
            wchar_t copy[MAX_PATH];
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !JoinPath(copy, infDir, entry.cFileName)) continue;
            if (!IsProductCopy(copy, EntrySize(&entry), &own, &earlier, &replaced, onlyReplaced)) continue;
            const int inUse = HasName(NameHash(entry.cFileName));
            if (pass == 0 && inUse) {
                Note(L"left %ls: a device uses it (its driver key names it)", copy);
                tally->inUse++;
            } else if (pass == 1 && !inUse) {
                (void)RemoveCopy(infDir, entry.cFileName, onlyReplaced ? kReplacedCopy : kProductCopy, tally);
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        if (tally->inUse != 0 && !onlyReplaced) return 1;
    }
    return 1;
}
