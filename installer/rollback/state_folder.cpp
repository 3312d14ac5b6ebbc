// The kept state's folder is the package's own: made with the descriptor of the programs' folder
// (SYSTEM and the Administrators alone, nothing inherited), and trusted later only while it still
// has that descriptor and an owner of those two. A state that is not trusted is set aside, never
// acted on and never deleted.
#include "rollback_parts.h"

#include "admin_only.h"
#include "setup_rollback.h"
#include "wide_text.h"

#include <sddl.h>
#include <string.h>

static const wchar_t *const kTrustedOwners[] = {L"O:BA", L"O:SY"};
static const wchar_t kProbeFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Probe";
static const wchar_t kEarlierLabel[] = L" (earlier ";
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
