// Removes from the Windows INF store every OEM INF copy that names the Brellan device, together
// with its precompiled ".pnf" twin, along the walk the setup package's preview reports.
#include "driverprep.h"

#include "stale_copies.h"

#include <windows.h>

static int NamesDevice(const wchar_t *path, void *context)
{
    (void)context;
    return InfMentionsDevice(path);
}

// The twin goes first; a deletion that fails leaves its file and stops nothing.
static void DeleteCopy(const wchar_t *path, const wchar_t *twinPath, void *context)
{
    (void)context;
    if (twinPath[0] != 0) (void)DeleteFileW(twinPath);   // a missing twin is fine
    (void)DeleteFileW(path);
}

void PurgeStaleInfs() { WalkStaleCopies(NamesDevice, DeleteCopy, NULL); }
