// Host stand-in for the OEM INF copy service (<setupapi.h>).
#pragma once

#include <windows.h>

#define SPOST_PATH 1

typedef LPWSTR *PZPWSTR;

BOOL SetupCopyOEMInfW(LPCWSTR sourceInf, LPCWSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                      LPWSTR destination, DWORD cchDestination, LPDWORD cchRequired,
                      PZPWSTR destinationComponent);
