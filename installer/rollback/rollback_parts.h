// The parts SetupRollback's modes are made of: the log, files and paths (state_files.cpp), the
// state's folder and its trust (state_folder.cpp), the sealed record (record.cpp), the work list
// (work_list.cpp), the INF store's copies (store_copies.cpp), the install folder's files
// (install_files.cpp), the detection value (detection_value.cpp) and the restart's work
// (restart_work.cpp).
#pragma once

// <wchar.h> before <windows.h>: mingw then maps vswprintf to msvcrt's, not to a formatter of its own.
#include <wchar.h>
#include <windows.h>
#include <stddef.h>

// ---- The log: one for the run, opened by the mode ----
void OpenRollbackLog(const wchar_t *path);
void CloseRollbackLog();
void Note(const wchar_t *format, ...);

// ---- Files and paths ----
static const DWORD kCbChunk = 16384;
// `out` = `folder` + "\" + `name`; 0 when it would not fit MAX_PATH.
int JoinPath(wchar_t *out, const wchar_t *folder, const wchar_t *name);
int Exists(const wchar_t *path);
int IsFolder(const wchar_t *path);
int EndsWith(const wchar_t *name, const wchar_t *extension);   // ".inf", ".pnf", any case
int IsOemInf(const wchar_t *name);                              // oem*.inf, as the purge lists
int TwinPath(const wchar_t *path, wchar_t *twin);               // the ".pnf" beside a ".inf"
int InfDirectory(wchar_t *infDir);
int CreateParents(const wchar_t *path);
int DeleteIfStanding(const wchar_t *path);
int CopyBytes(const wchar_t *from, const wchar_t *to);          // flushed; replaces `to`
// Puts `kept`'s bytes at `path` whole or not at all: written beside it, renamed over it, and
// checked byte for byte there. A put-back cut off leaves `path` as it was (and a file beside it,
// which the next put-back writes again).
int PutBackWhole(const wchar_t *kept, const wchar_t *path);
int SameBytes(const wchar_t *first, const wchar_t *second);
// The size and FNV-1a hash of a file's bytes; 0 when it cannot be read.
int HashFile(const wchar_t *path, unsigned long long *cb, unsigned long long *hash);
unsigned long long HashBytes(unsigned long long hash, const BYTE *bytes, size_t cb);
static const unsigned long long kHashStart = 14695981039346656037ull;
unsigned long long EntrySize(const WIN32_FIND_DATAW *entry);
void RemoveTree(const wchar_t *folder);
// Removes the empty folders above `path` up to (not including) `top`.
void RemoveEmptyParents(const wchar_t *path, const wchar_t *top);

// UTF-16LE text files of lines that end in a line feed, read and written through fixed buffers.
struct TextReader {
    HANDLE file;
    BYTE bytes[kCbChunk];
    DWORD at;
    DWORD end;
    int failed;                      // a read failed, or a line was longer than the buffer
    unsigned long long sum;          // over every byte read so far
    unsigned long long sumBefore;    // over the bytes before the last line returned
};
int OpenText(TextReader *reader, const wchar_t *path);
// 1 with the next line, without its line feed; 0 at the end or on a failure (`failed`).
int NextLine(TextReader *reader, wchar_t *line, size_t cchLine);
void CloseText(TextReader *reader);

struct TextWriter {
    HANDLE file;
    BYTE bytes[kCbChunk];
    DWORD cb;
    int failed;
    unsigned long long sum;
    unsigned long lines;
};
int CreateText(TextWriter *writer, const wchar_t *path);   // a new file only
void WriteLine(TextWriter *writer, const wchar_t *line);
int FinishText(TextWriter *writer);                        // flushed and closed; 1 when all was written

// ---- The state's folder ----
// Makes kRollbackFolder with the administrators-only descriptor; refuses one that exists.
int MakeStateFolder();
// Whether a state's folder still has the owner and descriptor the package gave it. Where the
// volume keeps no file security (Wine), a probe folder tells, and the record alone decides.
int StateFolderTrusted(const wchar_t *folder);
// Moves a state that does not verify out of the way, untouched, and logs where.
void SetStateAside(const wchar_t *folder, const wchar_t *why);
// Renames the current state to the first free "(earlier N)" name, for the next run to retry.
int KeepAsEarlier(wchar_t *folder);
// The folder of the earlier state number `n` (1 to kMaxEarlierStates).
static const int kMaxEarlierStates = 9;
int EarlierStateFolder(int n, wchar_t *folder);

// ---- The record ----
enum RecordKind { kRecordOwn, kRecordOurs, kRecordCopy, kRecordKept, kRecordNew, kRecordVersion, kRecordInstallNew,
                  kRecordMadeFolder, kRecordRun, kRecordUnknown };
struct RecordEntry {
    RecordKind kind;
    unsigned long long cb;
    unsigned long long hash;
    wchar_t text[MAX_PATH];
};
struct RecordWriter {
    TextWriter text;
    wchar_t folder[MAX_PATH];
};
int BeginRecord(RecordWriter *record, const wchar_t *folder);
void AddRecord(RecordWriter *record, RecordKind kind, unsigned long long cb, unsigned long long hash, const wchar_t *text);
// Writes the checksum, flushes, and renames the record to `name` in its folder: the seal.
int SealRecord(RecordWriter *record, const wchar_t *name);
// Whether the record `name` in `folder` is whole: this format, every line read, the checksum
// right, and every file it says it kept there with its size and hash. Logs why not.
int VerifyRecord(const wchar_t *folder, const wchar_t *name);
struct RecordReader {
    TextReader text;
    wchar_t folder[MAX_PATH];
};
int OpenRecord(RecordReader *record, const wchar_t *folder, const wchar_t *name);
int NextRecord(RecordReader *record, RecordEntry *entry);   // 0 at the checksum line
void CloseRecord(RecordReader *record);
// Where the record's kept file of an entry lies in its folder ("own\", "inf\", "kept\" + text).
int KeptFilePath(const wchar_t *folder, const RecordEntry *entry, wchar_t *path);
// The same, relative to the folder; 0 for an entry that keeps no file.
int KeptRelativePath(const RecordEntry *entry, wchar_t *relative);
// Whether the record `name` in `folder` names the run `runId` (the package's /run=) as its own.
int RecordIsRuns(const wchar_t *folder, const wchar_t *name, const wchar_t *runId);
// Lets go of a state whose record `name` (armed or committed) stands: its folder goes when it holds
// only that record and the files it names; one that holds anything else is set aside, untouched.
// Returns 1 when the folder went, 0 when it was set aside.
int LetGoOfState(const wchar_t *folder, const wchar_t *name);
// Lets go of a folder whose keep never sealed its record: it goes when every copy in it is still
// where it was taken from, byte for byte (the INF store, the install folder); otherwise it holds
// the last copy of something and is set aside. Returns 1 when the folder went.
int LetGoOfUnsealedState(const wchar_t *folder);

// ---- The work list ----
enum WorkKind { kWorkInf, kWorkPlace };
struct WorkReader {
    TextReader text;
    wchar_t folder[MAX_PATH];   // the list's own folder, where its INF files lie
};
// The list's own folder, where its INF files lie; 0 when the path has none that fits.
int WorkListFolder(const wchar_t *path, wchar_t *folder);
int OpenWorkList(WorkReader *work, const wchar_t *path);
// The next entry of `kind`: a path relative to the list's folder (an INF) or to the install folder.
int NextWork(WorkReader *work, WorkKind kind, wchar_t *relative);
void CloseWorkList(WorkReader *work);

// ---- What the modes do with the store, the install folder and the detection value ----
// Whether the INF store holds a copy of each of the run's INF files beside the work list (in
// `ownDir`), byte for byte: what PkgStage's success leaves. Names each that it lacks.
int StagedCopiesStand(const wchar_t *ownDir);
// /preview: the keep's decision for each of the store's INF files, said and not acted on, and
// which of the run's INF files beside the work list (in `ownDir`) the copy service would stage:
// those the store holds no copy of that the purge (whose copies' names are in the name table)
// leaves.
int PreviewStoreCopies(const wchar_t *ownDir);
// Says what a run would do up to its first change; returns /preview's exit code.
int PreviewRun(const wchar_t *workList);
// /staged: whether the store holds the run's INF files beside `workList`; its exit code.
int StagedRun(const wchar_t *workList);
struct Tally {
    int putBack;
    int removed;
    int failed;
    int inUse;
};
int KeepOwnInfs(RecordWriter *record, const wchar_t *workList);
int KeepStoreCopies(RecordWriter *record);
int RemoveStagedCopies(const wchar_t *folder, Tally *tally);
void PutBackCopies(const wchar_t *folder, Tally *tally);
int RemoveProductCopies(const wchar_t *folder, int onlyReplaced, Tally *tally);
int KeepInstallFiles(RecordWriter *record, const wchar_t *workList);
void PutBackInstallFiles(const wchar_t *folder, Tally *tally);
// After a commit: the earlier version's files this one does not carry go.
void RemoveFilesNotCarried(const wchar_t *folder);
// An uninstall: the files the install folder's list names, their folders, and the install folder.
int RemoveListedFiles();
void CancelRestartRemovals();
int KeepDetectionValue(RecordWriter *record);
void PutBackDetectionValue(const wchar_t *folder, int whole);
