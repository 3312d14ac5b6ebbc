// ADVAPI32's security calls on files: a folder's owner and DACL, kept as SDDL text by path, and
// the conversions between a descriptor and its SDDL. A descriptor here is its SDDL text. A folder
// made without a descriptor below C:\Program Files inherits what Wine gives it there; a volume that
// keeps no security (KeepFileSecurity(false)) answers with another owner for every folder.
#include "shared.h"

#include <sddl.h>

#include <sys/stat.h>

#include <cstring>
#include <map>

namespace hostwin {
namespace shared {
namespace {

struct SecurityState {
    std::map<std::wstring, std::wstring> byPath;   // by lower-case path: owner and DACL as SDDL
    bool keeps = true;
};
// What a folder made without a descriptor inherits below C:\Program Files.
const wchar_t kInheritedSecurity[] = L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
SecurityState *g_security = new SecurityState;

}  // namespace

void ResetFileSecurity() { *g_security = SecurityState(); }

void MadeWithSecurity(const std::wstring &path, const void *descriptor)
{
    g_security->byPath.erase(Lower(path));
    if (descriptor != nullptr) g_security->byPath[Lower(path)] = L"O:BA" + std::wstring((const wchar_t *)descriptor);
}

void MoveSecurity(const std::wstring &from, const std::wstring &to)
{
    auto kept = g_security->byPath.find(Lower(from));
    if (kept == g_security->byPath.end()) return;
    g_security->byPath[Lower(to)] = kept->second;
    g_security->byPath.erase(kept);
}

}  // namespace shared

using namespace shared;

const wchar_t kUnkeptSecurity[] = L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)";

void SetFolderSecurity(const std::wstring &path, const std::wstring &ownerAndDacl)
{
    Guard lock(g_lock);
    g_security->byPath[Lower(path)] = ownerAndDacl;
}

void KeepFileSecurity(bool keeps)
{
    Guard lock(g_lock);
    g_security->keeps = keeps;
}

}  // namespace hostwin

using namespace hostwin::shared;

BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD cbDescriptor,
                      LPDWORD cbNeeded)
{
    Guard lock(g_lock);
    (void)requested;
    struct stat st;
    if (stat(MapPath(path).c_str(), &st) != 0) return Fail(MissingError(MapPath(path)));
    auto kept = g_security->byPath.find(Lower(path));
    std::wstring text = !g_security->keeps ? hostwin::kUnkeptSecurity
                        : kept != g_security->byPath.end() ? kept->second : kInheritedSecurity;
    DWORD cb = (DWORD)((text.size() + 1) * sizeof(wchar_t));
    if (cbNeeded) *cbNeeded = cb;
    if (descriptor == nullptr || cbDescriptor < cb) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(descriptor, text.c_str(), cb);
    return TRUE;
}

// A descriptor here is its SDDL text, in memory LocalFree releases.
static wchar_t *LocalText(const std::wstring &text)
{
    wchar_t *copy = new wchar_t[text.size() + 1];
    wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR *descriptor,
                                                          DWORD *cbDescriptor)
{
    if (sddl == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1) return Fail(ERROR_INVALID_PARAMETER);
    *descriptor = LocalText(sddl);
    if (cbDescriptor) *cbDescriptor = (DWORD)((wcslen(sddl) + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION requested, LPWSTR *sddl, DWORD *cchSddl)
{
    (void)requested;
    if (descriptor == nullptr || sddl == nullptr || revision != SDDL_REVISION_1) return Fail(ERROR_INVALID_PARAMETER);
    *sddl = LocalText((const wchar_t *)descriptor);
    if (cchSddl) *cchSddl = (DWORD)wcslen(*sddl) + 1;
    return TRUE;
}

HLOCAL LocalFree(HLOCAL memory)
{
    delete[] (wchar_t *)memory;
    return nullptr;
}
