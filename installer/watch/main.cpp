// SetupWatch's entry: its arguments are paths and captions, so it reads them as wide strings.
#include "setup_watch.h"

#include "msvcrt_startup.h"

int main(int argc, char **argv, char **envp)
{
    (void)argc;   // the same arguments, read again in UTF-16 below
    (void)argv;
    (void)envp;
    int wideArgc = 0;
    wchar_t **wideArgv = NULL;
    WatchOptions options;
    if (!GetWideArguments(&wideArgc, &wideArgv) || !ParseWatchOptions(wideArgc, wideArgv, &options))
        return (int)kWatchNotStarted;
    return RunWatch(&options);
}
