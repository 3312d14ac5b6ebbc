// SetupRollback's entry: its arguments are paths and text, so it reads them as wide strings.
#include "setup_rollback.h"

#include "msvcrt_startup.h"

int main(int argc, char **argv, char **envp)
{
    (void)argc;   // the same arguments, read again in UTF-16 below
    (void)argv;
    (void)envp;
    int wideArgc = 0;
    wchar_t **wideArgv = NULL;
    RollbackOptions options;
    if (!GetWideArguments(&wideArgc, &wideArgv) || !ParseRollbackOptions(wideArgc, wideArgv, &options))
        return kRollbackBadArguments;
    return RunRollbackMode(&options);
}
