// ADVAPI32: the registry calls, over a table of HKEY_LOCAL_MACHINE keys that tests fill. An open
// that asks for more access than the key grants is refused, as Windows refuses KEY_ALL_ACCESS on
// the USB enumeration tree to anyone but SYSTEM.
#include "shared.h"

#include <map>

namespace hostwin {
namespace shared {
namespace {

struct Key {
    DWORD subkeys;
    DWORD granted;
};
struct RegistryState {
    std::map<std::wstring, Key> keys;           // by lower-case path
    std::map<uintptr_t, std::wstring> openKeys;  // handle -> lower-case path
    LSTATUS queryError = ERROR_SUCCESS;
    RegisterStats stats;
};
RegistryState *g_registry = new RegistryState;

}  // namespace

void ResetRegistry() { *g_registry = RegistryState(); }

}  // namespace shared

using namespace shared;

void AddKey(const std::wstring &path, DWORD subkeys, DWORD granted)
{
    Guard lock(g_lock);
    g_registry->keys[Lower(path)] = {subkeys, granted};
}

void FailQueryInfo(LSTATUS error)
{
    Guard lock(g_lock);
    g_registry->queryError = error;
}

RegisterStats Registry()
{
    Guard lock(g_lock);
    return g_registry->stats;
}

}  // namespace hostwin

using namespace hostwin::shared;

LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Guard lock(g_lock);
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr || options != 0)
        return ERROR_INVALID_PARAMETER;
    g_registry->stats.lastAccess = access;
    g_registry->stats.lastPath = subKey;
    auto it = g_registry->keys.find(Lower(subKey));
    if (it == g_registry->keys.end()) return ERROR_FILE_NOT_FOUND;
    if ((access & ~it->second.granted) != 0) return ERROR_ACCESS_DENIED;
    uintptr_t id = NewId();
    g_registry->openKeys[id] = it->first;
    g_registry->stats.opens++;
    *result = (HKEY)id;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD cchClass, LPDWORD reserved,
                         LPDWORD cSubKeys, LPDWORD cbMaxSubKeyLen, LPDWORD cbMaxClassLen,
                         LPDWORD cValues, LPDWORD cbMaxValueNameLen, LPDWORD cbMaxValueLen,
                         LPDWORD cbSecurityDescriptor, PFILETIME lastWriteTime)
{
    Guard lock(g_lock);
    auto it = g_registry->openKeys.find((uintptr_t)key);
    if (it == g_registry->openKeys.end()) return ERROR_INVALID_HANDLE;
    if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (g_registry->queryError != ERROR_SUCCESS) return g_registry->queryError;
    if (className != nullptr && cchClass != nullptr && *cchClass > 0) className[0] = 0;
    if (cchClass) *cchClass = 0;
    if (cSubKeys) *cSubKeys = g_registry->keys[it->second].subkeys;
    if (cbMaxSubKeyLen) *cbMaxSubKeyLen = 16;
    if (cbMaxClassLen) *cbMaxClassLen = 0;
    if (cValues) *cValues = 0;
    if (cbMaxValueNameLen) *cbMaxValueNameLen = 0;
    if (cbMaxValueLen) *cbMaxValueLen = 0;
    if (cbSecurityDescriptor) *cbSecurityDescriptor = 64;
    if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key)
{
    Guard lock(g_lock);
    if (g_registry->openKeys.erase((uintptr_t)key) == 0) return ERROR_INVALID_HANDLE;
    g_registry->stats.closes++;
    return ERROR_SUCCESS;
}
