// The install folder's files the run writes: each that stands is kept as it was, each that does
// not is noted as new; a rollback puts back the one and removes the other, and the folders the
// run made for them.
#include "rollback_parts.h"

#include "install_layout.h"
#include "setup_rollback.h"

static const wchar_t kKeptFolderName[] = L"kept";

int KeepInstallFiles(RecordWriter *record, const wchar_t *workList)
{
    WorkReader work;
    wchar_t relative[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t keptDir[MAX_PATH];
    wchar_t kept[MAX_PATH];
    unsigned long long cb = 0;
    unsigned long long hash = 0;
    int count = 0;
    if (!IsFolder(kInstallFolder)) AddRecord(record, kRecordInstallNew, 0, 0, L"");
    if (!JoinPath(keptDir, record->folder, kKeptFolderName) || !CreateDirectoryW(keptDir, NULL) || !OpenWorkList(&work, workList))
        return 0;
    int whole = 1;
    while (whole && NextWork(&work, kWorkPlace, relative)) {
        whole = ++count <= kMaxPlacedFiles && JoinPath(path, kInstallFolder, relative) && JoinPath(kept, keptDir, relative);
        DWORD attributes = whole ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
        if (whole && attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            whole = CreateParents(kept) && CopyBytes(path, kept) && HashFile(kept, &cb, &hash);
            if (whole) AddRecord(record, kRecordKept, cb, hash, relative);
        } else if (whole) {
            AddRecord(record, kRecordNew, 0, 0, relative);
        }
        if (!whole) Note(L"could not keep %ls\\%ls as it stands", kInstallFolder, relative);
    }
    whole = whole && !work.text.failed;
    CloseWorkList(&work);
    return whole;
}

void PutBackInstallFiles(const wchar_t *folder, Tally *tally)
{
    RecordReader record;
    RecordEntry entry;
    wchar_t path[MAX_PATH];
    wchar_t kept[MAX_PATH];
    int installFolderNew = 0;
    if (!OpenRecord(&record, folder, kArmedName)) {
        tally->failed++;
        return;
    }
    while (NextRecord(&record, &entry)) {
        if (entry.kind == kRecordInstallNew) installFolderNew = 1;
        if ((entry.kind != kRecordNew && entry.kind != kRecordKept) || !JoinPath(path, kInstallFolder, entry.text)) continue;
        if (entry.kind == kRecordNew) {
            int stood = Exists(path);
            if (!DeleteIfStanding(path)) {
                Note(L"could not remove %ls (error 0x%lx)", path, (unsigned long)GetLastError());
                tally->failed++;
            } else if (stood) {
                Note(L"removed %ls, placed by the run", path);
                RemoveEmptyParents(path, kInstallFolder);
            }
        } else if (!KeptFilePath(folder, &entry, kept)) {
            tally->failed++;
        } else if (Exists(path) && SameBytes(kept, path)) {
            // As it was. A file in use (the uninstaller the entry runs) could not be rewritten.
        } else if (CreateParents(path) && CopyBytes(kept, path)) {
            Note(L"put back %ls", path);
            tally->putBack++;
        } else {
            Note(L"could not put back %ls (error 0x%lx)", path, (unsigned long)GetLastError());
            tally->failed++;
        }
    }
    CloseRecord(&record);
    if (installFolderNew) (void)RemoveDirectoryW(kInstallFolder);   // only when it is empty
}
