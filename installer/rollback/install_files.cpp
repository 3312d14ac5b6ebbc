// The install folder's files the run writes: each that stands is kept as it was, each that does
// not is noted as new; a rollback puts back the one and removes the other, and the folders the
// run made for them. An install leaves its list of them in the install folder: an upgrade or a
// repair removes what the earlier version placed and this one does not carry, and an uninstall
// removes exactly what the list names, deepest folders first, and says what it leaves.
#include "rollback_parts.h"

#include "install_layout.h"
#include "name_set.h"
#include "setup_rollback.h"

#include <string.h>

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
            } else {
                if (stood) Note(L"removed %ls, placed by the run", path);
                // Also where the file never came to be (a full disk): the run may have made its folder.
                RemoveEmptyParents(path, kInstallFolder);
            }
        } else if (!KeptFilePath(folder, &entry, kept)) {
            tally->failed++;
        } else if (Exists(path) && SameBytes(kept, path)) {
            // As it was. A file in use (the uninstaller the entry runs) could not be rewritten.
        } else if (CreateParents(path) && PutBackWhole(kept, path)) {
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

// ---- What an install placed, by its list ----

// Fills the name table with the places the list at `path` names; 0 when it cannot be read whole.
static int LoadPlaces(const wchar_t *path)
{
    WorkReader list;
    wchar_t relative[MAX_PATH];
    ClearNames();
    if (!OpenWorkList(&list, path)) return 0;
    int loaded = 1;
    while (loaded && NextWork(&list, kWorkPlace, relative)) loaded = AddName(NameHash(relative));
    loaded = loaded && !list.text.failed;
    CloseWorkList(&list);
    return loaded;
}

void RemoveFilesNotCarried(const wchar_t *folder)
{
    WorkReader earlier;
    wchar_t current[MAX_PATH];
    wchar_t keptList[MAX_PATH];
    wchar_t keptDir[MAX_PATH];
    wchar_t relative[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!JoinPath(current, kInstallFolder, kFileListName) || !JoinPath(keptDir, folder, kKeptFolderName) ||
        !JoinPath(keptList, keptDir, kFileListName) || !Exists(keptList))
        return;   // the earlier version kept no list: what it placed is not known
    if (!LoadPlaces(current) || !OpenWorkList(&earlier, keptList)) {
        Note(L"the lists of what the versions placed could not be read: the earlier version's files stay");
        return;
    }
    while (NextWork(&earlier, kWorkPlace, relative)) {
        if (HasName(NameHash(relative)) || !JoinPath(path, kInstallFolder, relative) || !Exists(path)) continue;
        if (DeleteFileW(path)) {
            Note(L"removed %ls: the earlier version placed it, and this one does not carry it", path);
            RemoveEmptyParents(path, kInstallFolder);
        } else {
            Note(L"could not remove %ls, which the earlier version placed (error 0x%lx)", path, (unsigned long)GetLastError());
        }
    }
    CloseWorkList(&earlier);
}

// Logs every file below `dir` that the list does not name: the product never placed it, so it stays.
static int NoteUnplacedFiles(const wchar_t *dir, const wchar_t *prefix)
{
    wchar_t pattern[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t relative[MAX_PATH];
    WIN32_FIND_DATAW entry;
    int unplaced = 0;
    if (!JoinPath(pattern, dir, L"*")) return 0;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0 || !JoinPath(path, dir, entry.cFileName)) continue;
        relative[0] = 0;
        if (prefix[0] != 0 && !JoinPath(relative, prefix, entry.cFileName)) continue;
        if (prefix[0] == 0) wcscpy(relative, entry.cFileName);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            unplaced += NoteUnplacedFiles(path, relative);
        } else if (!HasName(NameHash(relative))) {
            Note(L"left %ls: the product did not place it", path);
            unplaced++;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return unplaced;
}

// Deletes the list's files, or has the restart delete one in use (the uninstaller running).
static void RemovePlacedFiles(const wchar_t *list, int *scheduled)
{
    WorkReader places;
    wchar_t relative[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!OpenWorkList(&places, list)) return;
    while (NextWork(&places, kWorkPlace, relative)) {
        if (wcscmp(relative, kFileListName) == 0 || !JoinPath(path, kInstallFolder, relative) || !Exists(path)) continue;
        if (DeleteFileW(path)) {
            Note(L"removed %ls", path);
        } else if (MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            Note(L"%ls is in use: it will be removed at the next restart", path);
            (*scheduled)++;
        } else {
            Note(L"could not remove %ls (error 0x%lx)", path, (unsigned long)GetLastError());
        }
    }
    CloseWorkList(&places);
}

// Removes the folders the list's files lie in, deepest first, while they are empty.
static void RemovePlacedFolders(const wchar_t *list)
{
    WorkReader places;
    wchar_t relative[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!OpenWorkList(&places, list)) return;
    while (NextWork(&places, kWorkPlace, relative)) {
        if (JoinPath(path, kInstallFolder, relative)) RemoveEmptyParents(path, kInstallFolder);
    }
    CloseWorkList(&places);
}

int RemoveListedFiles()
{
    wchar_t list[MAX_PATH];
    int scheduled = 0;
    if (!JoinPath(list, kInstallFolder, kFileListName) || !LoadPlaces(list)) {
        Note(L"%ls\\%ls cannot be read: the install folder's files stay", kInstallFolder, kFileListName);
        return 0;
    }
    RemovePlacedFiles(list, &scheduled);
    RemovePlacedFolders(list);
    if (!DeleteFileW(list)) Note(L"could not remove %ls (error 0x%lx)", list, (unsigned long)GetLastError());
    if (!IsFolder(kInstallFolder) || RemoveDirectoryW(kInstallFolder)) return 1;
    if (NoteUnplacedFiles(kInstallFolder, L"") == 0 && scheduled != 0 && MoveFileExW(kInstallFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        Note(L"%ls will be removed at the next restart", kInstallFolder);
    return 1;
}
