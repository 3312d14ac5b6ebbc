// The work list the setup package carries beside SetupRollback (written when the package is
// built): UTF-16LE lines "inf<TAB>NAME" for each INF file the run places (its bytes beside the
// list) and "place<TAB>RELATIVE\PATH" for each file the run writes into the install folder. A list
// file carries any number of them; no command line has to.
#include "rollback_parts.h"

#include "wide_text.h"

#include <string.h>

static const wchar_t *const kWorkKinds[] = {L"inf\t", L"place\t"};
static const size_t kCchWorkLine = MAX_PATH + 8;

int WorkListFolder(const wchar_t *path, wchar_t *folder)
{
    const wchar_t *last = wcsrchr(path, L'\\');
    if (last == NULL || (size_t)(last - path) >= MAX_PATH) return 0;
    memcpy(folder, path, (size_t)(last - path) * sizeof(wchar_t));
    folder[last - path] = 0;
    return 1;
}

int OpenWorkList(WorkReader *work, const wchar_t *path)
{
    return WorkListFolder(path, work->folder) && OpenText(&work->text, path);
}

// A path that stays inside the folder it is relative to: no drive, no leading "\", no "..", no
// empty part.
static int IsInsidePath(const wchar_t *path)
{
    if (path[0] == 0 || path[0] == L'\\' || wcschr(path, L':') != NULL || wcschr(path, L'/') != NULL) return 0;
    for (const wchar_t *part = path; part != NULL; part = wcschr(part, L'\\')) {
        if (*part == L'\\') ++part;
        if (wcsncmp(part, L"..", 2) == 0 && (part[2] == 0 || part[2] == L'\\')) return 0;
        if (*part == 0 || *part == L'\\') return 0;
    }
    return 1;
}

int NextWork(WorkReader *work, WorkKind kind, wchar_t *relative)
{
    wchar_t line[kCchWorkLine];
    const size_t cchKind = wcslen(kWorkKinds[kind]);
    while (NextLine(&work->text, line, kCchWorkLine)) {
        if (wcsncmp(line, kWorkKinds[kind], cchKind) != 0) continue;
        const wchar_t *value = line + cchKind;
        if (!IsInsidePath(value) || wcslen(value) >= MAX_PATH) {
            Note(L"the work list names %ls, which is not a path inside its folder", value);
            work->text.failed = 1;
            return 0;
        }
        wcscpy(relative, value);
        return 1;
    }
    return 0;
}

void CloseWorkList(WorkReader *work) { CloseText(&work->text); }
