// The kept state's folder is the package's own: made with the descriptor of the programs' folder
// (SYSTEM and the Administrators alone, nothing inherited), and trusted later only while it still
// has that descriptor and an owner of those two. A state that is not trusted is set aside, never
// acted on and never deleted.
#include "rollback_parts.h"

#include "admin_only.h"
#include "install_layout.h"
#include "name_set.h"
#include "setup_rollback.h"
#include "wide_text.h"

#include <sddl.h>
#include <string.h>

static const wchar_t *const kTrustedOwners[] = {L"O:BA", L"O:SY"};
static const wchar_t kProbeFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Probe";
static const wchar_t kEarlierLabel[] = L" (earlier ";
static const wchar_t kAllEntries[] = L"*";
static const wchar_t kUnsealedRecord[] = L"record.new";
static const wchar_t kOwnFolder[] = L"own";
static const wchar_t kStoreCopies[] = L"inf";
static const wchar_t kInstallCopies[] = L"kept";
static const wchar_t kSetAsideLabel[] = L" (set aside ";
static const int kMaxSetAside = 99;
static const DWORD kCbDescriptor = 4096;
static const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Creates `folder` with the administrators-only descriptor.
static int CreateAdminOnlyFolder(const wchar_t *folder)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlySddl, SDDL_REVISION_1, &descriptor, NULL)) return 0;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    int made = CreateDirectoryW(folder, &security) ? 1 : 0;
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return made;
}

int MakeStateFolder()
{
    if (CreateAdminOnlyFolder(kRollbackFolder)) return 1;
    Note(L"could not create %ls (error 0x%lx)", kRollbackFolder, (unsigned long)GetLastError());
    return 0;
}

// The owner and DACL of `folder` as SDDL, in `sddl` (capacity MAX_PATH); 0 when they cannot be read.
static int FolderSddl(const wchar_t *folder, wchar_t *sddl)
{
    BYTE descriptor[kCbDescriptor];
    DWORD cbNeeded = 0;
    LPWSTR text = NULL;
    if (!GetFileSecurityW(folder, kOwnerAndDacl, (PSECURITY_DESCRIPTOR)descriptor, kCbDescriptor, &cbNeeded)) return 0;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW((PSECURITY_DESCRIPTOR)descriptor, SDDL_REVISION_1, kOwnerAndDacl,
                                                              &text, NULL))
        return 0;
    sddl[0] = 0;
    int fits = AppendChecked(sddl, MAX_PATH, text);
    LocalFree(text);
    return fits;
}

// Whether an owner and DACL are the package's: the administrators-only DACL, owned by SYSTEM or
// the Administrators group.
static int IsPackagesOwn(const wchar_t *sddl)
{
    for (size_t i = 0; i < sizeof kTrustedOwners / sizeof kTrustedOwners[0]; ++i) {
        size_t cchOwner = wcslen(kTrustedOwners[i]);
        if (wcsncmp(sddl, kTrustedOwners[i], cchOwner) == 0 && wcscmp(sddl + cchOwner, kAdminOnlySddl) == 0) return 1;
    }
    return 0;
}

// Whether this volume keeps what a folder is given: a folder made with the administrators-only
// descriptor reads it back. Wine's does not (it reports a default of its own).
static int VolumeKeepsSecurity()
{
    wchar_t sddl[MAX_PATH];
    (void)RemoveDirectoryW(kProbeFolder);   // left by a run cut off here
    if (!CreateAdminOnlyFolder(kProbeFolder)) return 1;   // cannot tell: the stricter answer
    int keeps = !FolderSddl(kProbeFolder, sddl) || IsPackagesOwn(sddl);
    (void)RemoveDirectoryW(kProbeFolder);
    return keeps;
}

int StateFolderTrusted(const wchar_t *folder)
{
    wchar_t sddl[MAX_PATH];
    if (FolderSddl(folder, sddl) && IsPackagesOwn(sddl)) return 1;
    if (!VolumeKeepsSecurity()) {
        Note(L"this volume keeps no file security: %ls is trusted by its record alone", folder);
        return 1;
    }
    Note(L"%ls does not have the owner and security the package gives it", folder);
    return 0;
}

// "kRollbackFolder`label`N)" for N from 1 to 99.
static int NumberedName(const wchar_t *label, int n, wchar_t *name)
{
    wchar_t number[4] = {0};
    if (n >= 10) number[wcslen(number)] = (wchar_t)(L'0' + n / 10);
    number[wcslen(number)] = (wchar_t)(L'0' + n % 10);
    name[0] = 0;
    return AppendChecked(name, MAX_PATH, kRollbackFolder) && AppendChecked(name, MAX_PATH, label) &&
           AppendChecked(name, MAX_PATH, number) && AppendChecked(name, MAX_PATH, L")");
}

// The first free numbered name, from 1 to `most`; 0 when none is free.
static int FreeName(const wchar_t *label, int most, wchar_t *name)
{
    for (int n = 1; n <= most; ++n) {
        if (NumberedName(label, n, name) && !Exists(name)) return 1;
    }
    return 0;
}

void SetStateAside(const wchar_t *folder, const wchar_t *why)
{
    wchar_t aside[MAX_PATH];
    if (FreeName(kSetAsideLabel, kMaxSetAside, aside) && MoveFileExW(folder, aside, 0))
        Note(L"set aside the kept state in %ls (%ls): nothing was put back from it", aside, why);
    else
        Note(L"could not set aside %ls (%ls): it stays, and nothing was put back from it", folder, why);
}

int EarlierStateFolder(int n, wchar_t *folder) { return NumberedName(kEarlierLabel, n, folder); }

int KeepAsEarlier(wchar_t *folder)
{
    wchar_t earlier[MAX_PATH];
    if (!FreeName(kEarlierLabel, kMaxEarlierStates, earlier) || !MoveFileExW(folder, earlier, 0)) return 0;
    wcscpy(folder, earlier);
    return 1;
}

// ---- Letting go of a state: never the last copy of anything ----

// The name table (name_set.h) holds the record's own name and the path, relative to the folder, of
// each file the record names.
static int LoadRecordedFiles(const wchar_t *folder, const wchar_t *name)
{
    RecordReader record;
    RecordEntry entry;
    wchar_t relative[MAX_PATH];
    ClearNames();
    if (!OpenRecord(&record, folder, name)) return 0;
    int loaded = AddName(NameHash(name));
    while (loaded && NextRecord(&record, &entry)) {
        if (KeptRelativePath(&entry, relative)) loaded = AddName(NameHash(relative));
    }
    CloseRecord(&record);
    return loaded;
}

// Calls `visit` for every file under `folder`\`relative` with the file's path relative to
// `folder`, until one returns 0. Returns 0 then, or when a path does not fit or a listing fails.
typedef int (*FileVisit)(const wchar_t *folder, const wchar_t *relative, void *context);
static int VisitFiles(const wchar_t *folder, const wchar_t *relative, FileVisit visit, void *context)
{
    wchar_t dir[MAX_PATH];
    wchar_t pattern[MAX_PATH];
    wchar_t path[MAX_PATH];
    WIN32_FIND_DATAW entry;
    if (relative[0] == 0 ? !JoinPath(pattern, folder, kAllEntries)
                         : !JoinPath(dir, folder, relative) || !JoinPath(pattern, dir, kAllEntries))
        return 0;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    int whole = 1;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
        if (relative[0] == 0) {
            path[0] = 0;
            whole = AppendChecked(path, MAX_PATH, entry.cFileName);
        } else {
            whole = JoinPath(path, relative, entry.cFileName);
        }
        if (whole) {
            whole = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? VisitFiles(folder, path, visit, context)
                                                                        : visit(folder, path, context);
        }
    } while (whole && FindNextFileW(search, &entry));
    if (whole && GetLastError() != ERROR_NO_MORE_FILES) whole = 0;
    FindClose(search);
    return whole;
}

static int IsRecorded(const wchar_t *folder, const wchar_t *relative, void *context)
{
    (void)context;
    if (HasName(NameHash(relative))) return 1;
    Note(L"%ls\\%ls is not a file its record names", folder, relative);
    return 0;
}

int LetGoOfState(const wchar_t *folder, const wchar_t *name)
{
    if (LoadRecordedFiles(folder, name) && VisitFiles(folder, L"", IsRecorded, NULL)) {
        RemoveTree(folder);
        return 1;
    }
    SetStateAside(folder, L"it holds files its record does not name");
    return 0;
}

// A file of a folder whose record was never sealed: a copy of a store file ("inf\name") or of an
// install folder's file ("kept\path") may go only while its original stands with the same bytes;
// the package's own INF files ("own\name") and the unsealed record may go.
static int StandsElsewhere(const wchar_t *folder, const wchar_t *relative, void *context)
{
    (void)context;
    wchar_t path[MAX_PATH];
    wchar_t original[MAX_PATH];
    wchar_t infDir[MAX_PATH];
    const wchar_t *slash = wcschr(relative, L'\\');
    const size_t cchTop = slash != NULL ? (size_t)(slash - relative) : wcslen(relative);
    if (slash == NULL && wcscmp(relative, kUnsealedRecord) == 0) return 1;
    if (slash != NULL && cchTop == wcslen(kOwnFolder) && wcsncmp(relative, kOwnFolder, cchTop) == 0) return 1;
    int stands = 0;
    if (slash != NULL && JoinPath(path, folder, relative)) {
        if (cchTop == wcslen(kStoreCopies) && wcsncmp(relative, kStoreCopies, cchTop) == 0)
            stands = InfDirectory(infDir) && JoinPath(original, infDir, slash + 1) && SameBytes(path, original);
        else if (cchTop == wcslen(kInstallCopies) && wcsncmp(relative, kInstallCopies, cchTop) == 0)
            stands = JoinPath(original, kInstallFolder, slash + 1) && SameBytes(path, original);
    }
    if (!stands) Note(L"%ls\\%ls is kept nowhere else", folder, relative);
    return stands;
}

int LetGoOfUnsealedState(const wchar_t *folder)
{
    if (VisitFiles(folder, L"", StandsElsewhere, NULL)) {
        RemoveTree(folder);
        return 1;
    }
    SetStateAside(folder, L"its record was never sealed, and it holds copies kept nowhere else");
    return 0;
}
