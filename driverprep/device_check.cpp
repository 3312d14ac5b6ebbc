// Stops the installation while Windows still records an instance of the Brellan USB device.
#include "driverprep.h"

#include <windows.h>

static const wchar_t kDeviceKeyPath[] = L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402";
static const wchar_t kFoundText[] =
    L"Found Brellan device. Please uninstall Brellan Device to install Brellan Flashwright Installer\n";
static const wchar_t kFoundCaption[] = L"Found Brellan device";

// Number of instance subkeys under an open key. A query that fails leaves the count at 0, which
// reads as no instance.
static DWORD CountInstances(HKEY key)
{
    wchar_t className[MAX_PATH] = L"";
    DWORD cchClassName = MAX_PATH;
    DWORD cSubKeys = 0;
    DWORD cbMaxSubKeyLen = 0;
    DWORD cbMaxClassLen = 0;
    DWORD cValues = 0;
    DWORD cbMaxValueNameLen = 0;
    DWORD cbMaxValueLen = 0;
    DWORD cbSecurityDescriptor = 0;
    FILETIME lastWriteTime = {0, 0};
    (void)RegQueryInfoKeyW(key, className, &cchClassName, NULL, &cSubKeys, &cbMaxSubKeyLen,
                           &cbMaxClassLen, &cValues, &cbMaxValueNameLen, &cbMaxValueLen,
                           &cbSecurityDescriptor, &lastWriteTime);
    return cSubKeys;
}

int DeviceCheck()
{
    // Read access is all the count needs. The Enum tree grants full access to SYSTEM alone, so
    // asking for more would be refused for an elevated administrator and hide the device.
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return kStepGoOn;   // no key that we may read: nothing recorded
    DWORD cInstances = CountInstances(key);
    RegCloseKey(key);
    if (cInstances == 0) return kStepGoOn;
    (void)MessageBoxW(NULL, kFoundText, kFoundCaption, MB_OK);
    return kStepStop;
}
