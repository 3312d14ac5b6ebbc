// The kept state's record: one UTF-16LE line per thing kept, "kind<TAB>size<TAB>hash<TAB>text",
// under a header that names the format, and closed by a checksum over every line before it. It is
// written under a name of its own, flushed, and renamed into place: the seal. A record that does
// not read whole, is of another format, or whose sum or kept files do not match, is not acted on.
#include "rollback_parts.h"

#include "wide_text.h"

#include <string.h>

static const wchar_t kRecordHeader[] = L"Brellan Flashwright rollback record 2";
static const wchar_t kUnsealedName[] = L"record.new";
static const wchar_t kSumKind[] = L"sum";
// By RecordKind; where each kind's kept file lies in the state's folder ("" for none).
static const wchar_t *const kKindNames[] = {L"own", L"ours", L"copy", L"kept", L"new", L"version", L"install-new", L"made-folder",
                                            L"run"};
static const wchar_t *const kKindFolders[] = {L"own", L"", L"inf", L"kept", L"", L"", L"", L"", L""};
static const size_t kKinds = sizeof kKindNames / sizeof kKindNames[0];
static const size_t kCchRecordLine = MAX_PATH + 48;
static const wchar_t kHexDigits[] = L"0123456789abcdef";
static const int kHexDigitsPerNumber = 16;

static void AppendHex(wchar_t *out, unsigned long long value)
{
    size_t at = wcslen(out);
    for (int i = kHexDigitsPerNumber - 1; i >= 0; --i) out[at++] = kHexDigits[(value >> (4 * i)) & 0xF];
    out[at++] = L'\t';
    out[at] = 0;
}

// Reads 16 hex digits and the tab after them; 0 when the text is not so.
static int ParseHex(const wchar_t **text, unsigned long long *value)
{
    *value = 0;
    for (int i = 0; i < kHexDigitsPerNumber; ++i) {
        const wchar_t *digit = wcschr(kHexDigits, (*text)[i]);
        if ((*text)[i] == 0 || digit == NULL) return 0;
        *value = (*value << 4) | (unsigned long long)(digit - kHexDigits);
    }
    if ((*text)[kHexDigitsPerNumber] != L'\t') return 0;
    *text += kHexDigitsPerNumber + 1;
    return 1;
}

int BeginRecord(RecordWriter *record, const wchar_t *folder)
{
    wchar_t path[MAX_PATH];
    record->folder[0] = 0;
    if (!AppendChecked(record->folder, MAX_PATH, folder) || !JoinPath(path, folder, kUnsealedName)) return 0;
    if (!CreateText(&record->text, path)) return 0;
    WriteLine(&record->text, kRecordHeader);
    return 1;
}

void AddRecord(RecordWriter *record, RecordKind kind, unsigned long long cb, unsigned long long hash, const wchar_t *text)
{
    wchar_t line[kCchRecordLine];
    line[0] = 0;
    if (!AppendChecked(line, kCchRecordLine, kKindNames[kind]) || !AppendChecked(line, kCchRecordLine, L"\t") ||
        wcslen(text) >= MAX_PATH) {
        record->text.failed = 1;
        return;
    }
    AppendHex(line, cb);
    AppendHex(line, hash);
    wcscat(line, text);   // fits: the kind, two numbers and MAX_PATH - 1 characters
    WriteLine(&record->text, line);
}

int SealRecord(RecordWriter *record, const wchar_t *name)
{
    wchar_t line[kCchRecordLine];
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    wcscpy(line, kSumKind);
    wcscat(line, L"\t");
    AppendHex(line, record->text.lines);
    AppendHex(line, record->text.sum);
    WriteLine(&record->text, line);
    if (!FinishText(&record->text) || !JoinPath(from, record->folder, kUnsealedName) || !JoinPath(to, record->folder, name)) return 0;
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

// Splits a line into its entry; 0 when it is not one.
static int ParseEntry(const wchar_t *line, RecordEntry *entry)
{
    const wchar_t *tab = wcschr(line, L'\t');
    if (tab == NULL) return 0;
    entry->kind = kRecordUnknown;
    for (size_t kind = 0; kind < kKinds; ++kind) {
        if (wcslen(kKindNames[kind]) == (size_t)(tab - line) && wcsncmp(line, kKindNames[kind], (size_t)(tab - line)) == 0)
            entry->kind = (RecordKind)kind;
    }
    const wchar_t *at = tab + 1;
    if (!ParseHex(&at, &entry->cb) || !ParseHex(&at, &entry->hash) || wcslen(at) >= MAX_PATH) return 0;
    wcscpy(entry->text, at);
    return 1;
}

int OpenRecord(RecordReader *record, const wchar_t *folder, const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    wchar_t line[kCchRecordLine];
    record->folder[0] = 0;
    if (!AppendChecked(record->folder, MAX_PATH, folder) || !JoinPath(path, folder, name)) return 0;
    if (!OpenText(&record->text, path)) return 0;
    if (NextLine(&record->text, line, kCchRecordLine) && wcscmp(line, kRecordHeader) == 0) return 1;
    CloseText(&record->text);
    return 0;
}

int NextRecord(RecordReader *record, RecordEntry *entry)
{
    wchar_t line[kCchRecordLine];
    if (!NextLine(&record->text, line, kCchRecordLine) || wcsncmp(line, kSumKind, wcslen(kSumKind)) == 0) return 0;
    if (!ParseEntry(line, entry)) entry->kind = kRecordUnknown;
    return 1;
}

void CloseRecord(RecordReader *record) { CloseText(&record->text); }

int KeptRelativePath(const RecordEntry *entry, wchar_t *relative)
{
    if (entry->kind >= (RecordKind)kKinds || kKindFolders[entry->kind][0] == 0) return 0;
    return JoinPath(relative, kKindFolders[entry->kind], entry->text);
}

int RecordIsRuns(const wchar_t *folder, const wchar_t *name, const wchar_t *runId)
{
    RecordReader record;
    RecordEntry entry;
    int runs = 0;
    if (!OpenRecord(&record, folder, name)) return 0;
    while (NextRecord(&record, &entry)) {
        if (entry.kind == kRecordRun) runs = wcscmp(entry.text, runId) == 0;
    }
    CloseRecord(&record);
    return runs;
}

int KeptFilePath(const wchar_t *folder, const RecordEntry *entry, wchar_t *path)
{
    wchar_t sub[MAX_PATH];
    if (entry->kind >= (RecordKind)kKinds || kKindFolders[entry->kind][0] == 0) return 0;
    return JoinPath(sub, folder, kKindFolders[entry->kind]) && JoinPath(path, sub, entry->text);
}

// Reads the whole record: each line an entry of a known kind whose kept file, if any, holds the
// bytes the entry says, and last the sum over them all.
int VerifyRecord(const wchar_t *folder, const wchar_t *name)
{
    RecordReader record;
    RecordEntry entry;
    wchar_t line[kCchRecordLine];
    wchar_t path[MAX_PATH];
    unsigned long lines = 1;   // the header
    int whole = 1;
    if (!OpenRecord(&record, folder, name)) {
        Note(L"%ls\\%ls is not a record of this format", folder, name);
        return 0;
    }
    for (;;) {
        if (!NextLine(&record.text, line, kCchRecordLine)) {
            Note(L"%ls\\%ls ends before its checksum", folder, name);
            whole = 0;
            break;
        }
        if (wcsncmp(line, kSumKind, wcslen(kSumKind)) == 0) {
            const wchar_t *at = line + wcslen(kSumKind) + 1;
            unsigned long long count = 0;
            unsigned long long sum = 0;
            unsigned long long expected = record.text.sumBefore;
            wchar_t rest[2];
            if (line[wcslen(kSumKind)] != L'\t' || !ParseHex(&at, &count) || !ParseHex(&at, &sum) || *at != 0 ||
                count != lines || sum != expected || NextLine(&record.text, rest, 2) || record.text.failed) {
                Note(L"%ls\\%ls does not match its checksum", folder, name);
                whole = 0;
            }
            break;
        }
        lines++;
        if (!ParseEntry(line, &entry) || entry.kind == kRecordUnknown) {
            Note(L"%ls\\%ls holds a line this format does not have", folder, name);
            whole = 0;
            break;
        }
        unsigned long long cb = 0;
        unsigned long long hash = 0;
        if (KeptFilePath(folder, &entry, path) && (!HashFile(path, &cb, &hash) || cb != entry.cb || hash != entry.hash)) {
            Note(L"%ls is not the file the record kept", path);
            whole = 0;
            break;
        }
    }
    CloseRecord(&record);
    return whole;
}
