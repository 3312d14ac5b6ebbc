// SetupRollback: keeps what a run of the setup package may change on the machine, and puts it back
// when the run fails or was cut off, so that a failed run leaves the machine as it found it.
//
//   SetupRollback.exe /keep /work=LIST [/run=ID] [/log=PATH]
//   SetupRollback.exe /remove-copies [/log=PATH]
//   SetupRollback.exe /remove-files [/log=PATH]
//   SetupRollback.exe /commit [/installed] [/remove-replaced] [/run=ID] [/log=PATH]
//   SetupRollback.exe /rollback [/run=ID] [/log=PATH]
//   SetupRollback.exe /preview /work=LIST [/log=PATH]
//   SetupRollback.exe /staged /work=LIST [/log=PATH]
//
// /keep, before DriverPrep runs, makes the rollback folder (SYSTEM's and the Administrators'
// alone; it must not exist yet) and keeps in it what the run may change: the INF files the run
// places (named by the work list LIST, a file the package carries, beside them), which tell the
// copies the run stages by their bytes; the store's copies that hold those bytes already; every
// OEM copy DriverPrep's purge, an uninstall or an upgrade may remove, with its twin; the install
// folder's files the list names, as they stand; the detection value. Its record of all that is
// sealed last: once it stands, the state is armed.
//
// /remove-copies (an uninstall, after /keep) removes every copy of the product's driver packages
// from the INF store, once it has made sure no device uses any of them (kRollbackInUse, nothing
// removed); /remove-files then removes the files the install folder's list names, their folders
// and the install folder (one in use, at the next restart). /commit ends a run that succeeded: it
// disarms the state (the commit point); for an install (/installed) it then takes the install
// folder out of the restart's work and removes the earlier version's files this one does not
// carry; with /remove-replaced it removes the copies of the earlier version's INF files that this
// version replaced. None of that is rolled back: what cannot go is logged and stays. Last it lets
// go of the kept state and of any earlier one this run superseded.
//
// /rollback puts back what an armed state says: the copies the run staged (those holding the
// bytes of an INF file it placed, which were not in the store with them before) are removed, the
// kept copies stand again, the install folder's files and the detection value are as they were.
// A state whose folder or record does not verify is set aside, untouched. A state that cannot be
// put back whole stays armed, as an earlier run's state, for the next run to try again.
//
// The record names its run (/run=, the package's ID for the run) and every file kept in its
// folder, with its size and hash. A commit or a run's own rollback (/run=) acts only on that run's
// state; another run's is set aside. Letting go of a state removes its folder only while it holds
// nothing its record does not name (a folder whose record was never sealed: nothing kept nowhere
// else); otherwise the folder is set aside, never deleted.
//
// /staged, after PkgStage said it staged both INF files: kRollbackDone when the INF store holds a
// copy of each of the run's INF files, byte for byte, kRollbackIncomplete (naming each it lacks)
// otherwise.
//
// /preview (the package's /WHATIF) writes nothing but its log: whether a Brellan device is
// recorded (kRollbackDeviceRecorded: DriverPrep would stop the run), each copy DriverPrep's purge
// would delete, by its own walk and match, what the keep would keep, and what the copy service
// would stage or use again.
//
// Exit code: kRollbackDone; kRollbackIncomplete when the state could not be kept (nothing was
// changed), committed, or put back whole (the log says what stays kept); kRollbackBadArguments;
// kRollbackInUse; kRollbackSetAside when a state was set aside rather than put back;
// kRollbackEarlierKept (/rollback) when the current state was put back whole (or there was none)
// and only an earlier run's stays kept or was set aside;
// kRollbackDeviceRecorded (/preview). The setup
// package's script reads these lines: keep each constant on one line, in this form.
#pragma once

#include <stddef.h>
#include <wchar.h>

static const int kRollbackDone = 0;
static const int kRollbackIncomplete = 1;
static const int kRollbackBadArguments = 2;
static const int kRollbackInUse = 3;
static const int kRollbackSetAside = 4;
static const int kRollbackDeviceRecorded = 5;
static const int kRollbackEarlierKept = 6;
// Beside the install folder, where only administrators can create anything; never under %TEMP%.
static const wchar_t kRollbackFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback";
// The sealed record of an armed state, and of a committed one.
static const wchar_t kArmedName[] = L"armed";
static const wchar_t kCommittedName[] = L"committed";
// The record of an install committed whose work after the commit point (the earlier version's files
// it does not carry, the copies it replaced) is not yet done: a run that finds it does that work.
static const wchar_t kCommittedInstallName[] = L"committed-install";

// The most files the package may place in the install folder (the build checks it).
static const int kMaxPlacedFiles = 4096;

enum RollbackMode { kModeKeep, kModeRollback, kModeRemoveCopies, kModeRemoveFiles, kModeCommit, kModePreview, kModeStaged };

struct RollbackOptions {
    RollbackMode mode;
    const wchar_t *logPath;    // NULL: no log
    const wchar_t *workList;   // /keep, /preview, /staged: the work list's path
    const wchar_t *runId;      // /keep, /commit, /rollback: the run's ID, or NULL
    int installed;             // /commit: an install's (not an uninstall's)
    int removeReplaced;        // /commit: an upgrade's replaced copies go
};

// Reads the command line (argv[0] is the program). Returns 1 when it is well formed: one mode,
// anywhere; /work= (required) only with /keep, /preview and /staged, /run= only with /keep,
// /commit and /rollback, /installed and /remove-replaced only with /commit.
int ParseRollbackOptions(int argc, wchar_t **argv, RollbackOptions *options);

// Runs the mode the options name and returns the exit code described above.
int RunRollbackMode(const RollbackOptions *options);
