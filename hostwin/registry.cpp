// ADVAPI32: the registry calls, over a table of HKEY_LOCAL_MACHINE keys that tests fill. An open
// that asks for more access than the key grants is refused, as Windows refuses KEY_ALL_ACCESS on
// the USB enumeration tree to anyone but SYSTEM.
#include "shared.h"

#include <cstring>
#include <map>

namespace hostwin {
namespace shared {
namespace {

struct Key {
    DWORD subkeys;
    DWORD granted;
    std::wstring path;                           // as given
    std::map<std::wstring, std::wstring> values;  // by lower-case name: the data, as wide text
    std::map<std::wstring, DWORD> types;          // by lower-case name: REG_SZ unless set otherwise
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
    Key &key = g_registry->keys[Lower(path)];
    key.subkeys = subkeys;
    key.granted = granted;
    key.path = path;
}

// The key at `path`, made with every key above it that is missing.
Key &MakeKey(const std::wstring &path)
{
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        if (!g_registry->keys.count(Lower(path.substr(0, at)))) AddKey(path.substr(0, at), 0, KEY_ALL_ACCESS);
    }
    if (!g_registry->keys.count(Lower(path))) AddKey(path, 0, KEY_ALL_ACCESS);
    return g_registry->keys[Lower(path)];
}

void SetValue(const std::wstring &path, const std::wstring &name, const std::wstring &text)
{
    Guard lock(g_lock);
    MakeKey(path).values[Lower(name)] = text;
}

// A REG_MULTI_SZ value: the strings (empty ones too), each with its terminator, and one more at the end.
void SetMultiValue(const std::wstring &path, const std::wstring &name, const std::vector<std::wstring> &texts)
{
    Guard lock(g_lock);
    std::wstring data;
    for (const std::wstring &text : texts) data += text + L'\0';
    Key &key = MakeKey(path);
    key.values[Lower(name)] = data + L'\0';
    key.types[Lower(name)] = REG_MULTI_SZ;
}

std::vector<std::wstring> GetMultiValue(const std::wstring &path, const std::wstring &name)
{
    std::wstring data;
    std::vector<std::wstring> texts;
    if (!GetValue(path, name, &data)) return texts;
    // By length, not up to the first empty string: the restart's work holds empty ones (deletions).
    for (size_t at = 0; at + 1 < data.size();) {
        size_t end = data.find(L'\0', at);
        texts.push_back(data.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}

bool GetValue(const std::wstring &path, const std::wstring &name, std::wstring *text)
{
    Guard lock(g_lock);
    auto key = g_registry->keys.find(Lower(path));
    if (key == g_registry->keys.end() || !key->second.values.count(Lower(name))) return false;
    *text = key->second.values[Lower(name)];
    return true;
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

// The lower-case path of an open key (or of HKEY_LOCAL_MACHINE: ""), or NULL.
static const std::wstring *KeyPath(HKEY key)
{
    static const std::wstring kRoot;
    if (key == HKEY_LOCAL_MACHINE) return &kRoot;
    auto it = g_registry->openKeys.find((uintptr_t)key);
    return it == g_registry->openKeys.end() ? nullptr : &it->second;
}

static std::wstring Below(const std::wstring &base, LPCWSTR subKey)
{
    return base.empty() ? Lower(subKey) : base + L"\\" + Lower(subKey);
}

static HKEY OpenKey(const std::wstring &path)
{
    uintptr_t id = NewId();
    g_registry->openKeys[id] = path;
    g_registry->stats.opens++;
    return (HKEY)id;
}

LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Guard lock(g_lock);
    const std::wstring *base = KeyPath(root);
    if (base == nullptr || subKey == nullptr || result == nullptr || options != 0) return ERROR_INVALID_PARAMETER;
    g_registry->stats.lastAccess = access;
    g_registry->stats.lastPath = subKey;
    auto it = g_registry->keys.find(Below(*base, subKey));
    if (it == g_registry->keys.end()) return ERROR_FILE_NOT_FOUND;
    // The view flags choose where to look, not what to do.
    if ((access & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY) & ~it->second.granted) != 0) return ERROR_ACCESS_DENIED;
    *result = OpenKey(it->first);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    Guard lock(g_lock);
    (void)className;
    (void)options;
    (void)access;
    (void)security;
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
    if (disposition) *disposition = g_registry->keys.count(Lower(subKey)) ? 2 : 1;
    hostwin::MakeKey(subKey);
    *result = OpenKey(Lower(subKey));
    return ERROR_SUCCESS;
}

// Subkeys in the order of their lower-case names.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved, LPWSTR className,
                      LPDWORD cchClass, PFILETIME lastWriteTime)
{
    Guard lock(g_lock);
    (void)className;
    (void)cchClass;
    (void)lastWriteTime;
    const std::wstring *base = KeyPath(key);
    if (base == nullptr || name == nullptr || cchName == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    const std::wstring prefix = base->empty() ? L"" : *base + L"\\";
    DWORD at = 0;
    for (const auto &entry : g_registry->keys) {
        if (entry.first.compare(0, prefix.size(), prefix) != 0 || entry.first.size() == prefix.size() ||
            entry.first.find(L'\\', prefix.size()) != std::wstring::npos)
            continue;
        if (at++ != index) continue;
        std::wstring child = entry.second.path.substr(entry.second.path.size() - (entry.first.size() - prefix.size()));
        if (child.size() + 1 > *cchName) return 234;   // ERROR_MORE_DATA
        wmemcpy(name, child.c_str(), child.size() + 1);
        *cchName = (DWORD)child.size();
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, BYTE *data, LPDWORD cbData)
{
    Guard lock(g_lock);
    const std::wstring *path = KeyPath(key);
    if (path == nullptr || path->empty() || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    Key &entry = g_registry->keys[*path];
    auto value = entry.values.find(Lower(name ? name : L""));
    if (value == entry.values.end()) return ERROR_FILE_NOT_FOUND;
    const bool multi = entry.types.count(value->first) && entry.types[value->first] == REG_MULTI_SZ;
    // A REG_SZ is kept without its terminator, a REG_MULTI_SZ as it was given.
    DWORD cb = (DWORD)((value->second.size() + (multi ? 0 : 1)) * sizeof(wchar_t));
    if (type) *type = entry.types.count(value->first) ? entry.types[value->first] : REG_SZ;
    if (data != nullptr && (cbData == nullptr || *cbData < cb)) {
        if (cbData) *cbData = cb;
        return 234;   // ERROR_MORE_DATA
    }
    if (data != nullptr) memcpy(data, value->second.c_str(), cb);
    if (cbData) *cbData = cb;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD cbData)
{
    Guard lock(g_lock);
    const std::wstring *path = KeyPath(key);
    if (path == nullptr || path->empty() || reserved != 0 || (type != REG_SZ && type != REG_MULTI_SZ) || data == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::wstring text((const wchar_t *)data, cbData / sizeof(wchar_t));
    if (type == REG_SZ) {
        while (!text.empty() && text.back() == 0) text.pop_back();
    }
    g_registry->keys[*path].values[Lower(name ? name : L"")] = text;
    g_registry->keys[*path].types[Lower(name ? name : L"")] = type;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name)
{
    Guard lock(g_lock);
    const std::wstring *path = KeyPath(key);
    if (path == nullptr || path->empty()) return ERROR_INVALID_PARAMETER;
    g_registry->keys[*path].types.erase(Lower(name ? name : L""));
    return g_registry->keys[*path].values.erase(Lower(name ? name : L"")) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
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
