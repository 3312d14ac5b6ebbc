// SETUPAPI's OEM INF copy service: records every call and answers with the verdicts a test
// scripted (accepted when none is left). It copies nothing; the Wine tier stages for real.
#include "shared.h"

#include <setupapi.h>

#include <deque>

namespace hostwin {
namespace shared {
namespace {

struct CopyState {
    std::deque<DWORD> verdicts;
    std::vector<CopyCall> calls;
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
