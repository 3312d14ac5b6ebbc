// SetupRollback's log, paths and files: fixed buffers, every path checked against MAX_PATH, every
// handle closed by the function that opened it.
#include "rollback_parts.h"

#include "setup_log.h"
#include "wide_text.h"

#include <stdarg.h>
#include <string.h>
#include <wctype.h>

static const wchar_t kAllEntries[] = L"*";
static const wchar_t kInfSubfolder[] = L"\\inf";
static const wchar_t kInfExtension[] = L".inf";
static const wchar_t kTwinExtension[] = L".pnf";
static const wchar_t kOemPrefix[] = L"oem";
static const size_t kCchExtension = 4;
static const unsigned long long kHashPrime = 1099511628211ull;
static const wchar_t kLineFeed = L'\n';
// A file being put back is written under its name and this, then renamed over its place.
static const wchar_t kPuttingBackSuffix[] = L".brellan-back";

// ---- The log ----

static HANDLE g_log = INVALID_HANDLE_VALUE;

void OpenRollbackLog(const wchar_t *path) { g_log = OpenSetupLog(path); }

void CloseRollbackLog()
{
    if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
    g_log = INVALID_HANDLE_VALUE;
}

void Note(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    LogFormattedList(g_log, format, args);
    va_end(args);
}

// ---- Paths ----

int JoinPath(wchar_t *out, const wchar_t *folder, const wchar_t *name)
{
    out[0] = 0;
    return AppendChecked(out, MAX_PATH, folder) && AppendChecked(out, MAX_PATH, L"\\") && AppendChecked(out, MAX_PATH, name);
}

int Exists(const wchar_t *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

int IsFolder(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int EndsWith(const wchar_t *name, const wchar_t *extension)
{
    size_t cch = wcslen(name);
    if (cch < kCchExtension) return 0;
    for (size_t i = 0; i < kCchExtension; ++i) {
        if ((wchar_t)towlower(name[cch - kCchExtension + i]) != extension[i]) return 0;
    }
    return 1;
}

int IsOemInf(const wchar_t *name)
{
    for (size_t i = 0; kOemPrefix[i] != 0; ++i) {
        if ((wchar_t)towlower(name[i]) != kOemPrefix[i]) return 0;
    }
    return EndsWith(name, kInfExtension);
}

int TwinPath(const wchar_t *path, wchar_t *twin)
{
    if (!EndsWith(path, kInfExtension)) return 0;
    size_t cchStem = wcslen(path) - kCchExtension;
    memcpy(twin, path, cchStem * sizeof(wchar_t));
    twin[cchStem] = 0;
    return AppendChecked(twin, MAX_PATH, kTwinExtension);
}

int InfDirectory(wchar_t *infDir)
{
    UINT cch = GetWindowsDirectoryW(infDir, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return 0;
    return AppendChecked(infDir, MAX_PATH, kInfSubfolder);
}

int CreateParents(const wchar_t *path)
{
    wchar_t prefix[MAX_PATH];
    for (const wchar_t *at = wcschr(path + 3, L'\\'); at != NULL; at = wcschr(at + 1, L'\\')) {
        memcpy(prefix, path, (size_t)(at - path) * sizeof(wchar_t));
        prefix[at - path] = 0;
        if (!CreateDirectoryW(prefix, NULL) && !IsFolder(prefix)) return 0;
    }
    return 1;
}

void RemoveEmptyParents(const wchar_t *path, const wchar_t *top)
{
    wchar_t folder[MAX_PATH];
    size_t cchTop = wcslen(top);
    if (wcslen(path) >= MAX_PATH) return;
    wcscpy(folder, path);
    for (wchar_t *last = wcsrchr(folder, L'\\'); last != NULL && (size_t)(last - folder) > cchTop; last = wcsrchr(folder, L'\\')) {
        *last = 0;
        if (!RemoveDirectoryW(folder)) return;   // not empty: nothing above it is either
    }
}

// ---- Files ----

int DeleteIfStanding(const wchar_t *path)
{
    if (!Exists(path)) return 1;
    return DeleteFileW(path) ? 1 : 0;
}

int CopyBytes(const wchar_t *from, const wchar_t *to)
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

int PutBackWhole(const wchar_t *kept, const wchar_t *path)
{
    wchar_t beside[MAX_PATH];
    size_t cchPath = wcslen(path);
    if (cchPath + wcslen(kPuttingBackSuffix) >= MAX_PATH) return 0;
    wcscpy(beside, path);
    wcscpy(beside + cchPath, kPuttingBackSuffix);
    if (!CopyBytes(kept, beside)) return 0;
    if (!SameBytes(kept, beside) || !MoveFileExW(beside, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        (void)DeleteFileW(beside);
        SetLastError(error);
        return 0;
    }
    return SameBytes(kept, path);
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

int SameBytes(const wchar_t *first, const wchar_t *second)
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

unsigned long long HashBytes(unsigned long long hash, const BYTE *bytes, size_t cb)
{
    for (size_t i = 0; i < cb; ++i) {
        hash ^= bytes[i];
        hash *= kHashPrime;
    }
    return hash;
}

int HashFile(const wchar_t *path, unsigned long long *cb, unsigned long long *hash)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BYTE chunk[kCbChunk];
    int read = 1;
    *cb = 0;
    *hash = kHashStart;
    for (;;) {
        long cbRead = ReadFull(file, chunk, kCbChunk);
        if (cbRead < 0) read = 0;
        if (cbRead <= 0) break;
        *cb += (unsigned long long)cbRead;
        *hash = HashBytes(*hash, chunk, (size_t)cbRead);
    }
    CloseHandle(file);
    return read;
}

unsigned long long EntrySize(const WIN32_FIND_DATAW *entry)
{
    return ((unsigned long long)entry->nFileSizeHigh << 32) | entry->nFileSizeLow;
}

void RemoveTree(const wchar_t *folder)
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

// ---- UTF-16LE text ----

int OpenText(TextReader *reader, const wchar_t *path)
{
    reader->at = reader->end = 0;
    reader->failed = 0;
    reader->sum = reader->sumBefore = kHashStart;
    reader->file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    return reader->file != INVALID_HANDLE_VALUE;
}

// The next UTF-16 unit; 0 at the end of the file or on a failed read (`failed`).
static int NextUnit(TextReader *reader, wchar_t *unit)
{
    if (reader->end - reader->at < 2) {
        DWORD cbLeft = reader->end - reader->at;
        memmove(reader->bytes, reader->bytes + reader->at, cbLeft);
        DWORD cbRead = 0;
        if (!ReadFile(reader->file, reader->bytes + cbLeft, kCbChunk - cbLeft, &cbRead, NULL)) {
            reader->failed = 1;
            return 0;
        }
        reader->at = 0;
        reader->end = cbLeft + cbRead;
        if (reader->end < 2) {
            if (reader->end != 0) reader->failed = 1;   // half a unit: cut short
            return 0;
        }
    }
    const BYTE *bytes = reader->bytes + reader->at;
    *unit = (wchar_t)(bytes[0] | (bytes[1] << 8));
    reader->sum = HashBytes(reader->sum, bytes, 2);
    reader->at += 2;
    return 1;
}

int NextLine(TextReader *reader, wchar_t *line, size_t cchLine)
{
    size_t cch = 0;
    wchar_t unit = 0;
    reader->sumBefore = reader->sum;
    while (NextUnit(reader, &unit)) {
        if (unit == kLineFeed) {
            line[cch] = 0;
            return 1;
        }
        if (cch + 1 >= cchLine) {
            reader->failed = 1;
            return 0;
        }
        line[cch++] = unit;
    }
    if (cch != 0) reader->failed = 1;   // a last line without its line feed: cut short
    return 0;
}

void CloseText(TextReader *reader)
{
    if (reader->file != INVALID_HANDLE_VALUE) CloseHandle(reader->file);
    reader->file = INVALID_HANDLE_VALUE;
}

int CreateText(TextWriter *writer, const wchar_t *path)
{
    writer->cb = 0;
    writer->failed = 0;
    writer->sum = kHashStart;
    writer->lines = 0;
    writer->file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    return writer->file != INVALID_HANDLE_VALUE;
}

static void FlushText(TextWriter *writer)
{
    DWORD cbWritten = 0;
    if (writer->cb != 0 && (!WriteFile(writer->file, writer->bytes, writer->cb, &cbWritten, NULL) || cbWritten != writer->cb))
        writer->failed = 1;
    writer->cb = 0;
}

static void WriteUnit(TextWriter *writer, wchar_t unit)
{
    if (writer->cb + 2 > kCbChunk) FlushText(writer);
    BYTE *bytes = writer->bytes + writer->cb;
    bytes[0] = (BYTE)(unit & 0xFF);
    bytes[1] = (BYTE)((unit >> 8) & 0xFF);
    writer->sum = HashBytes(writer->sum, bytes, 2);
    writer->cb += 2;
}

void WriteLine(TextWriter *writer, const wchar_t *line)
{
    for (; *line != 0; ++line) WriteUnit(writer, *line);
    WriteUnit(writer, kLineFeed);
    writer->lines++;
}

int FinishText(TextWriter *writer)
{
    FlushText(writer);
    if (!FlushFileBuffers(writer->file)) writer->failed = 1;
    CloseHandle(writer->file);
    writer->file = INVALID_HANDLE_VALUE;
    return !writer->failed;
}
