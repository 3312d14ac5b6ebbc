/* Stands for a DLL that someone planted beside a program under the name of one that Windows loads
 * on demand. Loading it leaves a trace file beside it, then refuses the load, so the program goes
 * on as if the DLL were missing. Built for each bitness the tiers run. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    wchar_t path[MAX_PATH];
    DWORD cch;
    wchar_t *slash;
    HANDLE trace;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    cch = GetModuleFileNameW(self, path, MAX_PATH);
    slash = (cch > 0 && cch < MAX_PATH) ? wcsrchr(path, L'\\') : NULL;
    if (slash != NULL && (size_t)(slash - path) + 20 < MAX_PATH) {
        wcscpy(slash + 1, L"planted-dll-loaded");
        trace = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (trace != INVALID_HANDLE_VALUE) CloseHandle(trace);
    }
    return FALSE;
}
