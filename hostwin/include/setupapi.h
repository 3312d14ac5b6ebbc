// Host stand-in for the OEM INF copy service (<setupapi.h>).
#pragma once

#include <windows.h>

#define SPOST_PATH 1
#define SUOI_FORCEDELETE 0x1u
#define ERROR_INF_IN_USE_BY_DEVICES 0xE000023Du

typedef LPWSTR *PZPWSTR;

BOOL SetupCopyOEMInfW(LPCWSTR sourceInf, LPCWSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                      LPWSTR destination, DWORD cchDestination, LPDWORD cchRequired,
                      PZPWSTR destinationComponent);
BOOL SetupUninstallOEMInfW(LPCWSTR infFileName, DWORD flags, void *reserved);
