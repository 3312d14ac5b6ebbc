// Stops the installation while Windows still records an instance of the Brellan USB device.
#include "driverprep.h"

#include "stale_copies.h"

#include <windows.h>

static const wchar_t kFoundText[] =
    L"Found Brellan device. Please uninstall Brellan Device to install Brellan Flashwright Installer\n";
static const wchar_t kFoundCaption[] = L"Found Brellan device";

int DeviceCheck()
{
    if (RecordedDeviceInstances() == 0) return kStepGoOn;
    (void)MessageBoxW(NULL, kFoundText, kFoundCaption, MB_OK);
    return kStepStop;
}
