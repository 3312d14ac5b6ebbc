// KERNEL32's directory search (FindFirstFileW, FindNextFileW, FindClose). Like Wine, it lists a
// folder sorted and matches the pattern against each name's generated 8.3 alias too, so that
// "oem*.inf" finds "oem1.infx".
#include "shared.h"

#include <dirent.h>
#include <sys/stat.h>
#include <wctype.h>

#include <algorithm>
#include <map>

using namespace hostwin::shared;

namespace {

// Listings of a folder that end on an error after so many entries, by lower-case folder.
std::map<std::wstring, std::pair<size_t, DWORD>> *g_failListing = new std::map<std::wstring, std::pair<size_t, DWORD>>;

// A host file name as Windows lists it: UTF-8 (as Narrow writes names) back to UTF-16; a byte
// that starts no whole sequence stands for itself.
std::wstring Widen(const std::string &s)
{
    std::wstring out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned c = (unsigned char)s[i];
        size_t more = c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC0 && c < 0xE0 ? 1 : 0;
        bool whole = i + more < s.size();
        for (size_t k = 1; whole && k <= more; ++k) whole = ((unsigned char)s[i + k] & 0xC0) == 0x80;
        if (more == 0 || !whole) {
            out += (wchar_t)c;
            continue;
        }
        unsigned u = c & (more == 1 ? 0x1F : 0x0F);
        for (size_t k = 1; k <= more; ++k) u = (u << 6) | ((unsigned char)s[i + k] & 0x3F);
        out += (wchar_t)u;
        i += more;
    }
    return out;
}

// Matches a file name against a pattern of '*' and '?', ignoring case.
bool MaskMatches(const wchar_t *mask, const wchar_t *name)
{
    if (*mask == 0) return *name == 0;
    if (*mask == L'*') return MaskMatches(mask + 1, name) || (*name && MaskMatches(mask, name + 1));
    if (*name == 0) return false;
    if (*mask != L'?' && towlower(*mask) != towlower(*name)) return false;
    return MaskMatches(mask + 1, name + 1);
}

// The 8.3 alias Windows and Wine generate for a name that is not a valid short name, e.g.
// "oem1.infx" -> "OEM1~1.INF"; empty for a name that is a valid short name already.
std::wstring ShortAlias(const std::wstring &name)
{
    std::wstring trimmed = name;
    while (!trimmed.empty() && trimmed.back() == L'.') trimmed.pop_back();
    size_t dot = trimmed.find_last_of(L'.');
    std::wstring base = dot == std::wstring::npos ? trimmed : trimmed.substr(0, dot);
    std::wstring ext = dot == std::wstring::npos ? L"" : trimmed.substr(dot + 1);
    bool valid = trimmed == name && base.size() >= 1 && base.size() <= 8 && ext.size() <= 3 &&
                 base.find(L'.') == std::wstring::npos;
    if (valid) return L"";
    std::wstring shortBase;
    for (wchar_t c : base)
        if (c != L'.' && c != L' ' && shortBase.size() < 6) shortBase += (wchar_t)towupper(c);
    std::wstring alias = shortBase + L"~1";
    if (!ext.empty()) alias += L"." + Lower(ext.substr(0, 3));
    return alias;
}

WIN32_FIND_DATAW EntryFor(const std::string &hostDir, const std::wstring &name)
{
    WIN32_FIND_DATAW fd{};
    struct stat st;
    std::string host = hostDir + Narrow(name);
    if (stat(host.c_str(), &st) == 0) {
        fd.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (!(st.st_mode & S_IWUSR)) fd.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        fd.nFileSizeLow = (DWORD)st.st_size;
    }
    wcsncpy(fd.cFileName, name.c_str(), MAX_PATH - 1);
    std::wstring alias = ShortAlias(name);
    wcsncpy(fd.cAlternateFileName, alias.c_str(), 13);
    return fd;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    Guard lock(g_lock);
    std::wstring full(pattern);
    size_t slash = full.find_last_of(L'\\');
    std::wstring dirPart = slash == std::wstring::npos ? L"" : full.substr(0, slash);
    std::wstring mask = full.substr(slash == std::wstring::npos ? 0 : slash + 1);
    std::string hostDir = MapPath(dirPart + L"\\");
    DIR *dir = opendir(hostDir.c_str());
    if (dir == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::wstring> names;
    while (dirent *e = readdir(dir)) {
        std::wstring name = Widen(e->d_name);
        if (name == L"." || name == L"..") continue;
        std::wstring alias = ShortAlias(name);
        if (MaskMatches(mask.c_str(), name.c_str()) ||
            (!alias.empty() && MaskMatches(mask.c_str(), alias.c_str())))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Handle h{Handle::Search};
    h.path = Lower(dirPart);
    for (const std::wstring &name : names) h.entries.push_back(EntryFor(hostDir, name));
    *data = h.entries[0];
    h.next = 1;
    SetLastError(0);
    return (HANDLE)NewHandle(std::move(h));
}

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data)
{
    Guard lock(g_lock);
    Handle *h = FindHandle(search, Handle::Search);
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    auto fault = g_failListing->find(h->path);
    if (fault != g_failListing->end() && h->next >= fault->second.first) return Fail(fault->second.second);
    if (h->next >= h->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    *data = h->entries[h->next++];
    return TRUE;
}

BOOL FindClose(HANDLE search)
{
    Guard lock(g_lock);
    if (FindHandle(search, Handle::Search) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    EraseHandle(search);
    return TRUE;
}

namespace hostwin {
namespace shared {
void ResetSearch() { g_failListing->clear(); }
}  // namespace shared

void FailListingAfter(const std::wstring &folder, size_t entries, DWORD error)
{
    Guard lock(g_lock);
    (*g_failListing)[Lower(folder)] = {entries, error};
}
}  // namespace hostwin
