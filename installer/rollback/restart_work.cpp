// The restart's work (PendingFileRenameOperations): pairs of a path and its new name, empty for a
// deletion, each "\??\"-prefixed, "!" before a new name that may replace. An uninstall that runs
// from the install folder cannot delete itself and leaves its file and folder there; an install
// that follows takes every such deletion or move of its own folder out again, so that the restart
// does not undo it.
#include "rollback_parts.h"

#include "install_layout.h"

#include <string.h>
#include <wctype.h>

static const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const wchar_t *const kWorkValues[] = {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"};
static const wchar_t kNtPrefix[] = L"\\??\\";
// The most the restart's work may hold here; more is logged and left as it is.
static const DWORD kCchWork = 65536;

static wchar_t g_work[kCchWork];
static wchar_t g_kept[kCchWork];

static size_t BoundedLength(const wchar_t *text, size_t cchMost)
{
    size_t cch = 0;
    while (cch < cchMost && text[cch] != 0) ++cch;
    return cch;
}

// Whether `path` (as the restart's work writes it) is the install folder or lies in it.
static int InInstallFolder(const wchar_t *path)
{
    if (*path == L'!') ++path;
    if (wcsncmp(path, kNtPrefix, wcslen(kNtPrefix)) == 0) path += wcslen(kNtPrefix);
    size_t cchFolder = wcslen(kInstallFolder);
    for (size_t i = 0; i < cchFolder; ++i) {
        if (towlower(path[i]) != towlower(kInstallFolder[i])) return 0;
    }
    return path[cchFolder] == 0 || path[cchFolder] == L'\\';
}

// Filters one value: every pair that names the install folder goes. Returns how many went.
static int CancelIn(HKEY key, const wchar_t *value)
{
    DWORD type = 0;
    DWORD cbWork = sizeof g_work;
    LSTATUS read = RegQueryValueExW(key, value, NULL, &type, (BYTE *)g_work, &cbWork);
    if (read == ERROR_FILE_NOT_FOUND) return 0;
    if (read != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        Note(L"the restart's work (%ls) could not be read (error 0x%lx): it is left as it is", value, (unsigned long)read);
        return 0;
    }
    // By length: a deletion's new name is an empty string in the middle of the list.
    const size_t cchWork = cbWork / sizeof(wchar_t);
    size_t cchKept = 0;
    int cancelled = 0;
    for (size_t at = 0; at < cchWork && g_work[at] != 0;) {
        const wchar_t *from = g_work + at;
        size_t cchFrom = BoundedLength(from, cchWork - at);
        if (at + cchFrom + 1 >= cchWork) break;
        const wchar_t *to = from + cchFrom + 1;
        size_t cchTo = BoundedLength(to, cchWork - at - cchFrom - 1);
        at += cchFrom + 1 + cchTo + 1;
        if (InInstallFolder(from) || (cchTo != 0 && InInstallFolder(to))) {
            Note(L"cancelled the restart's removal of %ls: this install placed it again", from);
            cancelled++;
            continue;
        }
        memcpy(g_kept + cchKept, from, (cchFrom + 1 + cchTo + 1) * sizeof(wchar_t));
        cchKept += cchFrom + 1 + cchTo + 1;
    }
    if (cancelled == 0) return 0;
    g_kept[cchKept++] = 0;
    LSTATUS written = cchKept == 1 ? RegDeleteValueW(key, value)
                                   : RegSetValueExW(key, value, 0, REG_MULTI_SZ, (const BYTE *)g_kept, (DWORD)(cchKept * sizeof(wchar_t)));
    if (written != ERROR_SUCCESS) Note(L"the restart's work (%ls) could not be written (error 0x%lx)", value, (unsigned long)written);
    return cancelled;
}

void CancelRestartRemovals()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < sizeof kWorkValues / sizeof kWorkValues[0]; ++i) (void)CancelIn(key, kWorkValues[i]);
    RegCloseKey(key);
}
