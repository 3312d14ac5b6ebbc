// SETUPAPI's OEM INF copy service: records every call and answers with the verdicts a test
// scripted (accepted when none is left). It copies nothing; the Wine tier stages for real.
// Its removal, SetupUninstallOEMInfW, does what Microsoft documents (Wine only stubs it): the copy
// and its .pnf twin go, unless a device uses the copy.
#include "shared.h"

#include <setupapi.h>

#include <deque>

namespace hostwin {
namespace shared {
namespace {

struct CopyState {
    std::deque<DWORD> verdicts;
    std::vector<CopyCall> calls;
    std::vector<std::wstring> inUse;        // lower-case names of copies a device uses
    std::vector<UninstallCall> uninstalls;
};
CopyState *g_copy = new CopyState;

}  // namespace

void ResetCopyService() { *g_copy = CopyState(); }

}  // namespace shared

using namespace shared;

void ScriptCopy(const std::vector<DWORD> &errors)
{
    Guard lock(g_lock);
    g_copy->verdicts.assign(errors.begin(), errors.end());
}

std::vector<CopyCall> CopyCalls()
{
    Guard lock(g_lock);
    return g_copy->calls;
}

void UseByDevice(const std::wstring &infName)
{
    Guard lock(g_lock);
    g_copy->inUse.push_back(Lower(infName));
}

std::vector<UninstallCall> UninstallCalls()
{
    Guard lock(g_lock);
    return g_copy->uninstalls;
}

}  // namespace hostwin

using namespace hostwin::shared;

BOOL SetupCopyOEMInfW(LPCWSTR sourceInf, LPCWSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                      LPWSTR destination, DWORD cchDestination, LPDWORD cchRequired,
                      PZPWSTR destinationComponent)
{
    Guard lock(g_lock);
    g_copy->calls.push_back({sourceInf ? sourceInf : L"", mediaLocation == nullptr, mediaType, copyStyle,
                             destination == nullptr, cchDestination, cchRequired == nullptr,
                             destinationComponent == nullptr});
    DWORD verdict = 0;
    if (!g_copy->verdicts.empty()) {
        verdict = g_copy->verdicts.front();
        g_copy->verdicts.pop_front();
    }
    if (verdict != 0) return Fail(verdict);
    SetLastError(0);
    return TRUE;
}

BOOL SetupUninstallOEMInfW(LPCWSTR infFileName, DWORD flags, void *reserved)
{
    Guard lock(g_lock);
    std::wstring name = infFileName ? infFileName : L"";
    g_copy->uninstalls.push_back({name, flags});
    if (reserved != nullptr || name.empty() || name.find(L'\\') != std::wstring::npos) return Fail(ERROR_INVALID_PARAMETER);
    wchar_t dir[MAX_PATH];
    UINT cch = GetWindowsDirectoryW(dir, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return Fail(ERROR_PATH_NOT_FOUND);
    std::wstring inf = std::wstring(dir) + L"\\inf\\" + name;
    if (GetFileAttributesW(inf.c_str()) == INVALID_FILE_ATTRIBUTES) return Fail(ERROR_FILE_NOT_FOUND);
    for (const std::wstring &used : g_copy->inUse) {
        if (used == Lower(name) && !(flags & SUOI_FORCEDELETE)) return Fail(ERROR_INF_IN_USE_BY_DEVICES);
    }
    std::wstring twin = inf.size() > 4 ? inf.substr(0, inf.size() - 4) + L".pnf" : inf;
    (void)DeleteFileW(twin.c_str());   // a missing twin is fine
    if (!DeleteFileW(inf.c_str())) return FALSE;
    SetLastError(0);
    return TRUE;
}
