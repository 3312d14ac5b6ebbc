// /preview: what a run would do, up to its first change, said in the log and nowhere else. The
// device check, the purge's walk and its match are DriverPrep's own code; what the rollback would
// keep and what the copy service would stage are decided as the keep decides them.
#include "rollback_parts.h"

#include "device_match.h"
#include "install_layout.h"
#include "name_set.h"
#include "setup_rollback.h"
#include "stale_copies.h"

#include <string.h>

// The purge's test, without DriverPrep's box: a file it cannot read is said, and (as DriverPrep
// does after its "ReadFile Failed" box) left in place.
static int PurgeWouldMatch(const wchar_t *path, void *context)
{
    const wchar_t *id = L"";
    int names = FileNamesDeviceId(path, kCbPurgeChunk, &id);
    if (names == kUnreadable) Note(L"DriverPrep could not read %ls: it would say \"ReadFile Failed\" and leave it", path);
    if (names != kNamesDevice) return 0;
    wcsncpy((wchar_t *)context, id, MAX_PATH - 1);
    return 1;
}

// Says what the purge would delete, and remembers the copy's name: the copy service cannot use it
// again once it is gone.
static void SayPurged(const wchar_t *path, const wchar_t *twinPath, void *context)
{
    const wchar_t *id = (const wchar_t *)context;
    (void)AddName(NameHash(wcsrchr(path, L'\\') != NULL ? wcsrchr(path, L'\\') + 1 : path));
    if (twinPath[0] == 0) Note(L"DriverPrep would delete %ls, which names %ls", path, id);
    else if (Exists(twinPath)) Note(L"DriverPrep would delete %ls, which names %ls, and its twin %ls", path, id, twinPath);
    else Note(L"DriverPrep would delete %ls, which names %ls (it has no twin %ls)", path, id, twinPath);
}

// The install folder's files the run writes: how many stand (a run keeps them first) and how
// many would be new.
static int PreviewInstallFiles(const wchar_t *workList)
{
    WorkReader work;
    wchar_t relative[MAX_PATH];
    wchar_t path[MAX_PATH];
    int standing = 0;
    int fresh = 0;
    if (!OpenWorkList(&work, workList)) {
        Note(L"could not read the work list %ls", workList);
        return 0;
    }
    while (NextWork(&work, kWorkPlace, relative)) {
        if (JoinPath(path, kInstallFolder, relative) && Exists(path)) ++standing;
        else ++fresh;
    }
    int whole = !work.text.failed;
    CloseWorkList(&work);
    Note(L"a run would write %d files in %ls: %d stand now (it would keep them first), %d would be new", standing + fresh,
         kInstallFolder, standing, fresh);
    return whole;
}

int PreviewRun(const wchar_t *workList)
{
    wchar_t ownDir[MAX_PATH];
    wchar_t id[MAX_PATH] = L"";
    if (!WorkListFolder(workList, ownDir)) return kRollbackBadArguments;

    DWORD instances = RecordedDeviceInstances();
    if (instances != 0) {
        Note(L"a Brellan device is recorded (%lu instance%ls under HKLM\\%ls): DriverPrep would stop the run, and it would "
             L"end with 3, deleting and staging nothing",
             (unsigned long)instances, instances == 1 ? L"" : L"s", kDeviceKeyPath);
        return kRollbackDeviceRecorded;
    }
    Note(L"no Brellan device is recorded (HKLM\\%ls): DriverPrep would purge the INF store", kDeviceKeyPath);
    ClearNames();
    WalkStaleCopies(PurgeWouldMatch, SayPurged, id);
    int whole = PreviewStoreCopies(ownDir) && PreviewInstallFiles(workList);
    return whole ? kRollbackDone : kRollbackIncomplete;
}

int StagedRun(const wchar_t *workList)
{
    wchar_t ownDir[MAX_PATH];
    if (!WorkListFolder(workList, ownDir)) return kRollbackBadArguments;
    return StagedCopiesStand(ownDir) ? kRollbackDone : kRollbackIncomplete;
}
