// DriverPrep's content match: the shared match, and the box its purge shows for a file it cannot
// read.
#include "device_match.h"
#include "driverprep.h"

#include <windows.h>

static const wchar_t kReadFailedText[] = L"ReadFile Failed";

int InfMentionsDevice(const wchar_t *path)
{
    int names = FileNamesDevice(path, kCbPurgeChunk);
    if (names == kUnreadable) (void)MessageBoxW(NULL, kReadFailedText, NULL, MB_OK);
    return names == kNamesDevice;
}
