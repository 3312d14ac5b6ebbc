/* The sample device package's co-installer: it answers every request with NO_ERROR, so that the
   device installs as it would with none. Built by make-samples.sh into the sample packages. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI BrellanCoInstaller(DWORD request, void *devices, void *device, void *context)
{
    (void)request;
    (void)devices;
    (void)device;
    (void)context;
    return NO_ERROR;
}
