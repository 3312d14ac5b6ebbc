// SetupRollback's modes, each one short routine over the parts (rollback_parts.h), and its
// command line.
#include "setup_rollback.h"

#include "rollback_parts.h"

#include <string.h>

static const wchar_t *const kModeSwitches[] = {L"/keep", L"/rollback", L"/remove-copies", L"/remove-files", L"/commit",
                                               L"/preview", L"/staged"};
static const wchar_t kLogOption[] = L"/log=";
static const wchar_t kWorkOption[] = L"/work=";
static const wchar_t kRemoveReplacedOption[] = L"/remove-replaced";
static const wchar_t kInstalledOption[] = L"/installed";
static const wchar_t kRunOption[] = L"/run=";

// Keeps what the run may change, and arms the state by sealing its record last. A keep that
// fails leaves nothing behind: nothing was changed yet.
static int KeepMode(const RollbackOptions *options)
{
    RecordWriter record;
    record.text.file = INVALID_HANDLE_VALUE;
    if (!MakeStateFolder()) return kRollbackIncomplete;
    int kept = BeginRecord(&record, kRollbackFolder);
    if (kept && options->runId != NULL) AddRecord(&record, kRecordRun, 0, 0, options->runId);
    kept = kept && KeepOwnInfs(&record, options->workList) &&
               KeepInstallFiles(&record, options->workList) && KeepStoreCopies(&record) && KeepDetectionValue(&record) &&
               SealRecord(&record, kArmedName);
    if (kept) return kRollbackDone;
    if (record.text.file != INVALID_HANDLE_VALUE) (void)FinishText(&record.text);
    RemoveTree(kRollbackFolder);
    Note(L"could not keep what the run may change; nothing was changed");
    return kRollbackIncomplete;
}

// An install's work after its commit point, from the record `name`: the earlier version's files it
// does not carry and the copies it replaced go; then the record is plainly committed. The commit
// does it, and a run that finds it cut off does it again: each step finds done what was done.
static void FinishInstallCommit(const wchar_t *folder, const wchar_t *name)
{
    wchar_t pending[MAX_PATH];
    wchar_t committed[MAX_PATH];
    Tally tally = {0, 0, 0, 0};
    CancelRestartRemovals();
    RemoveFilesNotCarried(folder);
    if (VerifyRecord(folder, name)) {
        (void)RemoveProductCopies(folder, 1, &tally);
        if (tally.failed != 0 || tally.inUse != 0)
            Note(L"some copies of the earlier version stay in the INF store (see above); the install stands");
    }
    if (!JoinPath(pending, folder, name) || !JoinPath(committed, folder, kCommittedName) ||
        !MoveFileExW(pending, committed, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Note(L"could not mark %ls done (error 0x%lx)", folder, (unsigned long)GetLastError());
}

// Puts back one state. `current` is this run's folder: a state that cannot be put back whole
// moves aside as an earlier run's, still armed, for the next run to try again. With `runId` (the
// run's own rollback) the current state must be that run's: another run's is set aside.
static int RollBackState(const wchar_t *stateFolder, int current, const wchar_t *runId)
{
    wchar_t folder[MAX_PATH];
    wchar_t armed[MAX_PATH];
    wchar_t committed[MAX_PATH];
    Tally tally = {0, 0, 0, 0};
    wcscpy(folder, stateFolder);
    if (!JoinPath(armed, folder, kArmedName) || !Exists(armed)) {
        // The run committed, or its keep never sealed a record (so it changed nothing): the folder
        // goes, but never with a copy kept nowhere else. An install cut off after its commit point
        // first does the work it had left.
        if (!IsFolder(folder)) return kRollbackDone;
        if (JoinPath(committed, folder, kCommittedInstallName) && Exists(committed)) {
            Note(L"an install was cut off after its commit point: doing what it had left");
            FinishInstallCommit(folder, kCommittedInstallName);
        }
        int went = JoinPath(committed, folder, kCommittedName) && Exists(committed) ? LetGoOfState(folder, kCommittedName)
                                                                                     : LetGoOfUnsealedState(folder);
        return went ? kRollbackDone : kRollbackSetAside;
    }
    if (!StateFolderTrusted(folder)) {
        SetStateAside(folder, L"its folder is not the package's own");
        return kRollbackSetAside;
    }
    if (!VerifyRecord(folder, kArmedName)) {
        SetStateAside(folder, L"its record does not verify");
        return kRollbackSetAside;
    }
    if (current && runId != NULL && !RecordIsRuns(folder, kArmedName, runId)) {
        SetStateAside(folder, L"its record is not this run's");
        return kRollbackSetAside;
    }
    if (!RemoveStagedCopies(folder, &tally)) {
        Note(L"the INF store could not be read: the copies the run staged stay");
        tally.failed++;
    }
    PutBackCopies(folder, &tally);
    PutBackInstallFiles(folder, &tally);
    PutBackDetectionValue(folder, tally.failed == 0);
    if (tally.failed == 0) {
        // A rollback cut off from here on is not repeated: the record, no longer armed, stays
        // until the folder goes.
        if (!JoinPath(committed, folder, kCommittedName) || !MoveFileExW(armed, committed, MOVEFILE_REPLACE_EXISTING))
            (void)DeleteFileW(armed);
        Note(L"rolled back (files put back: %d, copies removed: %d)", tally.putBack, tally.removed);
        return LetGoOfState(folder, kCommittedName) ? kRollbackDone : kRollbackSetAside;
    }
    Note(L"rolled back, but not everything (files put back: %d, copies removed: %d, not put back: %d)", tally.putBack,
         tally.removed, tally.failed);
    if (current && !KeepAsEarlier(folder)) Note(L"could not move %ls aside as an earlier run's", folder);
    Note(L"the rest stays kept, armed, in %ls: the next run tries again before its own work", folder);
    return kRollbackIncomplete;
}

// This run's state first, then those earlier runs could not put back whole, newest first.
static int RollBackAll(const wchar_t *runId)
{
    wchar_t folder[MAX_PATH];
    int earlier[kMaxEarlierStates + 1] = {0};
    for (int n = 1; n <= kMaxEarlierStates; ++n) earlier[n] = EarlierStateFolder(n, folder) && IsFolder(folder);
    const int own = RollBackState(kRollbackFolder, 1, runId);
    int earliest = kRollbackDone;
    for (int n = kMaxEarlierStates; n >= 1; --n) {
        if (!earlier[n] || !EarlierStateFolder(n, folder)) continue;
        int result = RollBackState(folder, 0, NULL);
        if (result != kRollbackDone) earliest = result;
    }
    // The current state decides what the run may say of the machine; an earlier one left kept
    // was so before the run began.
    return own != kRollbackDone ? own : earliest != kRollbackDone ? kRollbackEarlierKept : kRollbackDone;
}

// An uninstall's removal of the product's copies, after /keep: all of them, or none while a
// device uses one.
static int RemoveCopiesMode()
{
    Tally tally = {0, 0, 0, 0};
    if (!VerifyRecord(kRollbackFolder, kArmedName)) return kRollbackIncomplete;
    if (!RemoveProductCopies(kRollbackFolder, 0, &tally)) tally.failed++;
    Note(L"copies removed: %d, left: %d", tally.removed, tally.failed + tally.inUse);
    if (tally.inUse != 0) return kRollbackInUse;
    return tally.failed != 0 ? kRollbackIncomplete : kRollbackDone;
}

// Logs what an earlier run's state held and lets it go: this run's install superseded it. One that
// does not verify is set aside like any other, never deleted.
static void LetGoOfEarlierState(const wchar_t *folder)
{
    RecordReader record;
    RecordEntry entry;
    if (!StateFolderTrusted(folder) || !VerifyRecord(folder, kArmedName) || !OpenRecord(&record, folder, kArmedName)) {
        SetStateAside(folder, L"it does not verify");
        return;
    }
    while (NextRecord(&record, &entry)) {
        if (entry.kind == kRecordCopy) Note(L"let go of %ls\\inf\\%ls, kept by an earlier run: this install superseded it", folder, entry.text);
    }
    CloseRecord(&record);
    if (LetGoOfState(folder, kArmedName)) Note(L"let go of %ls", folder);
}

// The commit point of a run that succeeded: the record is renamed from armed to committed. What
// follows is never rolled back: an upgrade's removal of the copies it replaced, and letting go.
static int CommitMode(const RollbackOptions *options)
{
    wchar_t armed[MAX_PATH];
    wchar_t committed[MAX_PATH];
    wchar_t folder[MAX_PATH];
    Tally tally = {0, 0, 0, 0};
    if (options->runId != NULL && (!VerifyRecord(kRollbackFolder, kArmedName) || !RecordIsRuns(kRollbackFolder, kArmedName, options->runId))) {
        Note(L"could not commit: the kept state in %ls is not this run's", kRollbackFolder);
        return kRollbackIncomplete;
    }
    // An install's commit leaves its record as a committed install until the work after the
    // commit point is done: a run that finds it cut off there does that work.
    const int install = options->installed && options->removeReplaced;
    if (!JoinPath(armed, kRollbackFolder, kArmedName) ||
        !JoinPath(committed, kRollbackFolder, install ? kCommittedInstallName : kCommittedName) ||
        !MoveFileExW(armed, committed, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Note(L"could not commit: %ls stays armed (error 0x%lx)", armed, (unsigned long)GetLastError());
        return kRollbackIncomplete;
    }
    if (install) {
        FinishInstallCommit(kRollbackFolder, kCommittedInstallName);
    } else if (options->installed) {
        CancelRestartRemovals();
        RemoveFilesNotCarried(kRollbackFolder);
    }
    if (options->removeReplaced && !install && VerifyRecord(kRollbackFolder, kCommittedName)) {
        (void)RemoveProductCopies(kRollbackFolder, 1, &tally);
        if (tally.failed != 0 || tally.inUse != 0)
            Note(L"some copies of the earlier version stay in the INF store (see above); the install stands");
    }
    LetGoOfState(kRollbackFolder, kCommittedName);
    for (int n = 1; n <= kMaxEarlierStates; ++n) {
        if (EarlierStateFolder(n, folder) && IsFolder(folder)) LetGoOfEarlierState(folder);
    }
    return kRollbackDone;
}

int RunRollbackMode(const RollbackOptions *options)
{
    OpenRollbackLog(options->logPath);
    int result = kRollbackBadArguments;
    switch (options->mode) {
    case kModeKeep: result = KeepMode(options); break;
    case kModeRollback: result = RollBackAll(options->runId); break;
    case kModeRemoveCopies: result = RemoveCopiesMode(); break;
    case kModeRemoveFiles: result = RemoveListedFiles() ? kRollbackDone : kRollbackIncomplete; break;
    case kModeCommit: result = CommitMode(options); break;
    case kModePreview: result = PreviewRun(options->workList); break;
    case kModeStaged: result = StagedRun(options->workList); break;
    }
    CloseRollbackLog();
    return result;
}

// ---- The command line ----

static const wchar_t *OptionValue(const wchar_t *arg, const wchar_t *option)
{
    size_t cchOption = wcslen(option);
    return wcsncmp(arg, option, cchOption) == 0 ? arg + cchOption : NULL;
}

// The mode, one of kModeSwitches, may stand anywhere among the options.
int ParseRollbackOptions(int argc, wchar_t **argv, RollbackOptions *options)
{
    const size_t modes = sizeof kModeSwitches / sizeof kModeSwitches[0];
    int modeGiven = 0;
    memset(options, 0, sizeof *options);
    for (int i = 1; i < argc; ++i) {
        size_t mode = 0;
        while (mode < modes && wcscmp(argv[i], kModeSwitches[mode]) != 0) ++mode;
        if (mode == modes) continue;
        if (modeGiven++) return 0;
        options->mode = (RollbackMode)mode;
    }
    if (!modeGiven) return 0;
    for (int i = 1; i < argc; ++i) {
        const wchar_t *value = NULL;
        if (wcscmp(argv[i], kModeSwitches[options->mode]) == 0) {
            continue;
        } else if ((value = OptionValue(argv[i], kLogOption)) != NULL && *value != 0) {
            options->logPath = value;
        } else if ((options->mode == kModeKeep || options->mode == kModePreview || options->mode == kModeStaged) &&
                   (value = OptionValue(argv[i], kWorkOption)) != NULL && *value != 0) {
            options->workList = value;
        } else if ((options->mode == kModeKeep || options->mode == kModeCommit || options->mode == kModeRollback) &&
                   (value = OptionValue(argv[i], kRunOption)) != NULL && *value != 0 && wcslen(value) < MAX_PATH) {
            options->runId = value;
        } else if (options->mode == kModeCommit && wcscmp(argv[i], kRemoveReplacedOption) == 0) {
            options->removeReplaced = 1;
        } else if (options->mode == kModeCommit && wcscmp(argv[i], kInstalledOption) == 0) {
            options->installed = 1;
        } else {
            return 0;
        }
    }
    return (options->mode != kModeKeep && options->mode != kModePreview && options->mode != kModeStaged) ||
           options->workList != NULL;
}
