// Process entry of the Windows programs: msvcrt parses the command line, main runs, and msvcrt's
// exit ends the process with main's result. This takes the place of mingw's startup code, which
// would bring thread-local storage callbacks, pseudo-relocation and frame registration that the
// programs do not need and that would double their size.
//
// Before anything else the entry restricts where DLLs are loaded from on demand. The programs run
// elevated from folders that others can write to (a download or temporary folder); a DLL planted
// there under the name of one that Windows loads on demand (USER32 loads uxtheme.dll inside the
// first MessageBoxW) would otherwise run with administrator rights. The programs' own imports are
// KnownDLLs and come from System32 anyway. Windows 7 has the call once KB2533623 is installed.
#include "msvcrt_startup.h"

#include <windows.h>
#include <stdlib.h>

int main(int argc, char **argv, char **envp);

namespace {
const int kGuiApp = 2;
}  // namespace

extern "C" void __cdecl __set_app_type(int type);

// GCC makes main call __main first, to run static constructors. The programs have none, and
// mingw's __main would register its destructor list through startup code that is not linked.
extern "C" void __main() {}

extern "C" void __cdecl ProgramEntry()
{
    int argc = 0;
    char **argv = NULL;
    char **envp = NULL;
    MsvcrtStartupInfo info = {0};
    // A failure leaves the loader as it was; it never stops an installation.
    (void)SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    __set_app_type(kGuiApp);
    if (__getmainargs(&argc, &argv, &envp, 0, &info) < 0) exit(0);   // no memory for the arguments: stop
    exit(main(argc, argv, envp));
}
