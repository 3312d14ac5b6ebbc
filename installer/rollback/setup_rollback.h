// SetupRollback: keeps what a run of the setup package may change on the machine, and puts it back
// when the run fails or was cut off, so that a failed run leaves the machine as it found it.
//
//   SetupRollback.exe /keep [/log=PATH] [/version=TEXT] [/place=RELATIVE-PATH]...
//   SetupRollback.exe /rollback [/log=PATH]
//   SetupRollback.exe /remove-copies [/log=PATH]
//   SetupRollback.exe /remove-replaced-copies [/log=PATH]
//
// /keep, before DriverPrep runs, makes the rollback folder (it must not exist yet) and writes into
// it: the names of every file in the INF store; a copy of each file of the install folder that the
// run will overwrite or remove (/place=, relative to the install folder) and a note of each it will
// create; a copy of every OEM INF copy whose bytes hold the device's hardware ID (all that
// DriverPrep's purge can remove) or equal one of the install folder's INF files kept, and of its
// .pnf twin; the detection value as the run found it (/version=, absent when there is none); and
// last the mark "armed", without which nothing was kept.
//
// /remove-copies (an uninstall, after /keep) removes from the INF store every copy that names the
// device or equals one of the install folder's INF files kept; /remove-replaced-copies (an upgrade,
// once the new packages are staged) only those equal to a kept INF file that the run replaced with
// different bytes: copies of the earlier version that the new one does not carry. Both remove
// through the copy service's uninstall, as a rollback does; a copy a device uses stays, and they
// end with kRollbackInUse.
//
// /rollback puts back what the kept state says: every copy that appeared in the INF store since
// is removed through the copy service's uninstall (and deleted where that leaves it standing),
// every kept copy stands again with its bytes, the install folder's files are as they were; then
// the rollback folder goes. It logs every file put back and every copy removed.
//
// Exit code: kRollbackDone when the state was kept, or when everything was put back (or nothing
// was kept); kRollbackIncomplete when it could not be kept (nothing was changed) or something
// could not be put back (the log says what); kRollbackBadArguments. The setup package's script
// reads these lines: keep each constant on one line, in this form.
#pragma once

#include <stddef.h>
#include <wchar.h>

static const int kRollbackDone = 0;
static const int kRollbackIncomplete = 1;
static const int kRollbackBadArguments = 2;
static const int kRollbackInUse = 3;
// Beside the install folder, where only administrators can create anything; never under %TEMP%.
static const wchar_t kRollbackFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback";
// The detection value as the run found it, as UTF-16LE text without a terminator.
static const wchar_t kKeptVersionName[] = L"version";
static const wchar_t kArmedName[] = L"armed";

static const int kMaxPlacedFiles = 64;

enum RollbackMode { kModeKeep, kModeRollback, kModeRemoveCopies, kModeRemoveReplacedCopies };

struct RollbackOptions {
    RollbackMode mode;
    const wchar_t *logPath;                   // NULL: no log
    const wchar_t *version;                   // NULL: no detection value
    int placedCount;
    const wchar_t *placed[kMaxPlacedFiles];   // relative to the install folder
};

// Reads the command line (argv[0] is the program). Returns 1 when it is well formed: the mode
// first, /version= and /place= only with /keep, each path relative and inside.
int ParseRollbackOptions(int argc, wchar_t **argv, RollbackOptions *options);

// Whether a file's bytes hold the device's hardware ID as 8-bit text or as UTF-16 (either byte
// order), anywhere: every file that DriverPrep's content match finds, and possibly more. 0 when it
// does not or cannot be read.
int BytesNameDevice(const wchar_t *path);

// The stages; each returns the exit code described above.
int KeepMachineState(const RollbackOptions *options);
int RollBackMachineState(const RollbackOptions *options);
int RemoveStoreCopies(const RollbackOptions *options);

// Runs the stage the options name.
int RunRollbackMode(const RollbackOptions *options);
