// Stands in for PkgStage in a package of the tests: it asks in an OK/Cancel box first, as
// Windows' driver-publisher prompt does inside PkgStage's process, and then stages both packages
// with PkgStage's own code, ending with its exit code.
#include "pkgstage.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MessageBoxW(NULL, L"Would you like to install this device software?", L"Windows Security", MB_OKCANCEL);
    return StagePackages();
}
