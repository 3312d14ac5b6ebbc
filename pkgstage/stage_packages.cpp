// Stages the tool's INF, then the device's INF, from the product's install folder.
#include "pkgstage.h"

#include "install_layout.h"
#include "wide_text.h"

#include <windows.h>
#include <setupapi.h>

static const wchar_t kSeparator[] = L"\\";
// The tool's INF first, then the device's.
static const wchar_t *const kInfNames[] = {kToolInfName, kDeviceInfName};
static const size_t kInfCount = sizeof kInfNames / sizeof kInfNames[0];
static const wchar_t kCopyFailedFormat[] = L"SetupCopyOEMInf() Failed with error 0x%x";
// The format's text plus eight hex digits, with room to spare.
static const size_t kCchMessage = 64;

static void ReportCopyFailure(DWORD error)
{
    wchar_t message[kCchMessage];
    if (swprintf(message, kCchMessage, kCopyFailedFormat, (unsigned int)error) < 0) return;
    (void)MessageBoxW(NULL, message, NULL, MB_OK);
}

// Hands one INF from the install folder to the copy service. Returns 1 when it was accepted.
static int StageInf(const wchar_t *infName)
{
    wchar_t sourcePath[MAX_PATH] = L"";
    if (!AppendChecked(sourcePath, MAX_PATH, kInstallFolder) || !AppendChecked(sourcePath, MAX_PATH, kSeparator) ||
        !AppendChecked(sourcePath, MAX_PATH, infName)) {
        ReportCopyFailure(ERROR_INSUFFICIENT_BUFFER);   // cannot happen with the fixed names
        return 0;
    }
    if (!SetupCopyOEMInfW(sourcePath, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL)) {
        DWORD error = GetLastError();
        ReportCopyFailure(error);
        return 0;
    }
    return 1;
}

int StagePackages()
{
    for (size_t i = 0; i < kInfCount; ++i) {
        if (!StageInf(kInfNames[i])) return 0;
    }
    return 1;
}
