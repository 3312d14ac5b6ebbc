// msvcrt's command-line parsing, as its own startup code calls it. The programs start through an
// entry of their own (program_entry.cpp) instead of mingw's, and call these directly.
#pragma once

#include <wchar.h>

struct MsvcrtStartupInfo {
    int newMode;
};

extern "C" int __cdecl __getmainargs(int *argc, char ***argv, char ***envp, int expandWildcards,
                                     MsvcrtStartupInfo *info);
extern "C" int __cdecl __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***envp, int expandWildcards,
                                      MsvcrtStartupInfo *info);

// The command line as UTF-16 arguments (for the helpers, whose arguments are paths and text);
// 0 when msvcrt could not make them.
static inline int GetWideArguments(int *argc, wchar_t ***argv)
{
    wchar_t **envp = NULL;
    MsvcrtStartupInfo info = {0};
    return __wgetmainargs(argc, argv, &envp, 0, &info) >= 0;
}
