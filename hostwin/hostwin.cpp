// Host stand-in for the Win32 calls the programs make. Plain Linux underneath: the registry is a
// table, files live below a temporary folder that stands for drive C:, message boxes are records
// that wait for a scripted user or a WM_COMMAND, and threads are pthreads.
#include "hostwin.h"

#include <process.h>
#include <setupapi.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

// A box that nobody closes returns after this long, so a faulty test cannot hang the run.
const int kBoxSafetyLimitMs = 10000;

std::wstring Lower(const std::wstring &s)
{
    std::wstring out(s);
    for (wchar_t &c : out) c = (wchar_t)towlower(c);
    return out;
}

std::string Narrow(const std::wstring &w)
{
    std::string out;
    for (wchar_t c : w) {
        unsigned u = (unsigned)c;
        if (u < 0x80) {
            out += (char)u;
        } else if (u < 0x800) {
            out += (char)(0xC0 | (u >> 6));
            out += (char)(0x80 | (u & 0x3F));
        } else {
            out += (char)(0xE0 | (u >> 12));
            out += (char)(0x80 | ((u >> 6) & 0x3F));
            out += (char)(0x80 | (u & 0x3F));
        }
    }
    return out;
}

std::wstring Widen(const std::string &s)
{
    std::wstring out;
    for (unsigned char c : s) out += (wchar_t)c;
    return out;
}

struct Handle {
    enum Kind { File, Search, Thread } kind;
    int fd = -1;
    std::wstring path;
    int reads = 0;
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
    pthread_t thread{};
    bool ended = false;
};

struct Box {
    HWND hwnd;
    hostwin::BoxScript script;
    bool findable = false;
    bool closed = false;
    int result = 0;
    bool byCommand = false;
};

struct Window {
    std::wstring className;
    std::wstring title;
    DWORD processId;
    Box *box = nullptr;   // set while a message box of this process is up
    int commands = 0;
};

struct State {
    std::map<std::wstring, std::pair<DWORD, DWORD>> keys;   // lower-case path -> subkeys, granted
    LSTATUS queryError = ERROR_SUCCESS;
    hostwin::RegisterStats reg;
    std::map<uintptr_t, std::wstring> openKeys;

    std::string driveRoot = "/nonexistent";
    std::wstring windowsDir = L"C:\\Windows";
    std::map<std::wstring, DWORD> failOpen, failDelete;
    std::map<std::wstring, std::pair<int, DWORD>> failRead;
    std::map<std::wstring, bool> held;
    std::vector<hostwin::FileEvent> fileEvents;

    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x100;

    std::deque<hostwin::BoxScript> boxScripts;
    std::vector<hostwin::BoxRecord> boxes;
    std::map<uintptr_t, Window> windows;   // in creation order: the z-order the lookups see

    bool failThreadStart = false;
    hostwin::ThreadStats threads;
    std::deque<DWORD> copyVerdicts;
    std::vector<hostwin::CopyCall> copyCalls;

    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
};

std::recursive_mutex g_lock;
std::condition_variable_any g_changed;
State *g_state = new State;
thread_local DWORD t_lastError = 0;

State &S() { return *g_state; }

long Elapsed()
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - S().epoch).count();
}

uintptr_t NewHandle(Handle h)
{
    uintptr_t id = S().nextHandle;
    S().nextHandle += 4;
    S().handles[id] = std::move(h);
    return id;
}

Handle *FindHandle(HANDLE h, Handle::Kind kind)
{
    auto it = S().handles.find((uintptr_t)h);
    if (it == S().handles.end() || it->second.kind != kind) return nullptr;
    return &it->second;
}

// Maps "C:\..." onto the drive root; anything else is left as it is (and so not found).
std::string MapPath(const std::wstring &path)
{
    if (path.size() >= 3 && towlower(path[0]) == L'c' && path[1] == L':' && path[2] == L'\\') {
        std::string tail = Narrow(path.substr(3));
        std::replace(tail.begin(), tail.end(), '\\', '/');
        return S().driveRoot + "/" + tail;
    }
    return "/nonexistent-drive/" + Narrow(path);
}

// The error Wine gives for a path that does not resolve: 2 for a missing leaf, 3 for a missing folder.
DWORD MissingError(const std::string &host)
{
    std::string parent = host.substr(0, host.find_last_of('/'));
    struct stat st;
    return (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? ERROR_FILE_NOT_FOUND
                                                                    : ERROR_PATH_NOT_FOUND;
}

bool Fail(DWORD code)
{
    t_lastError = code;
    return false;
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
// "oem1.infx" -> "OEM1~1.INF". The search matches the pattern against it as well.
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

// A box is up: wait until a command or the scripted user closes it.
int RunBox(Box &box)
{
    std::unique_lock<std::recursive_mutex> lock(g_lock);
    auto start = std::chrono::steady_clock::now();
    auto since = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start).count();
    };
    while (!box.closed) {
        long waited = since();
        if (!box.findable && waited >= box.script.appearAfterMs) box.findable = true;
        if (box.script.userAfterMs >= 0 && box.findable &&
            waited >= box.script.appearAfterMs + box.script.userAfterMs) {
            box.closed = true;
            box.result = box.script.userAnswer;
            break;
        }
        if (waited >= kBoxSafetyLimitMs) break;
        g_changed.wait_for(lock, std::chrono::milliseconds(1));
    }
    return box.result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Test control

namespace hostwin {

const wchar_t kInvalidHandlePath[] = L"<invalid handle>";

void Reset()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    for (auto &h : S().handles) {
        if (h.second.kind == Handle::File && h.second.fd >= 0) close(h.second.fd);
        if (h.second.kind == Handle::Thread && !h.second.ended) pthread_join(h.second.thread, nullptr);
    }
    *g_state = State();
    t_lastError = 0;
}

void AddKey(const std::wstring &path, DWORD subkeys, DWORD granted)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().keys[Lower(path)] = {subkeys, granted};
}

void FailQueryInfo(LSTATUS error)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().queryError = error;
}

RegisterStats Registry()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return S().reg;
}

void SetDriveRoot(const std::string &hostRoot)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().driveRoot = hostRoot;
}

void SetWindowsDirectory(const std::wstring &windowsDir)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().windowsDir = windowsDir;
}

std::string HostPath(const std::wstring &windowsPath)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return MapPath(windowsPath);
}

void FailOpen(const std::wstring &path, DWORD error)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().failOpen[Lower(path)] = error;
}

void FailReadAfter(const std::wstring &path, int goodReads, DWORD error)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().failRead[Lower(path)] = {goodReads, error};
}

void FailDelete(const std::wstring &path, DWORD error)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().failDelete[Lower(path)] = error;
}

void HoldOpen(const std::wstring &path)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().held[Lower(path)] = true;
}

std::vector<FileEvent> FileEvents()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return S().fileEvents;
}

int OpenHandles()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return (int)S().handles.size();
}

void ScriptBox(const BoxScript &script)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().boxScripts.push_back(script);
}

std::vector<BoxRecord> Boxes()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return S().boxes;
}

HWND AddForeignWindow(const std::wstring &className, const std::wstring &title, DWORD processId)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    uintptr_t id = S().nextHandle;
    S().nextHandle += 4;
    S().windows[id] = Window{className, title, processId};
    return (HWND)id;
}

int CommandsReceived(HWND window)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto it = S().windows.find((uintptr_t)window);
    return it == S().windows.end() ? -1 : it->second.commands;
}

long NowMs()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return Elapsed();
}

void FailThreadStart(bool fail)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().failThreadStart = fail;
}

ThreadStats Threads()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return S().threads;
}

void ScriptCopy(const std::vector<DWORD> &errors)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().copyVerdicts.assign(errors.begin(), errors.end());
}

std::vector<CopyCall> CopyCalls()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return S().copyCalls;
}

}  // namespace hostwin

// ---------------------------------------------------------------------------------------------
// The Win32 calls

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr || options != 0)
        return ERROR_INVALID_PARAMETER;
    S().reg.lastAccess = access;
    S().reg.lastPath = subKey;
    auto it = S().keys.find(Lower(subKey));
    if (it == S().keys.end()) return ERROR_FILE_NOT_FOUND;
    if ((access & ~it->second.second) != 0) return ERROR_ACCESS_DENIED;
    uintptr_t id = S().nextHandle;
    S().nextHandle += 4;
    S().openKeys[id] = it->first;
    S().reg.opens++;
    *result = (HKEY)id;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD cchClass, LPDWORD reserved,
                         LPDWORD cSubKeys, LPDWORD cbMaxSubKeyLen, LPDWORD cbMaxClassLen,
                         LPDWORD cValues, LPDWORD cbMaxValueNameLen, LPDWORD cbMaxValueLen,
                         LPDWORD cbSecurityDescriptor, PFILETIME lastWriteTime)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto it = S().openKeys.find((uintptr_t)key);
    if (it == S().openKeys.end()) return ERROR_INVALID_HANDLE;
    if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (S().queryError != ERROR_SUCCESS) return S().queryError;
    if (className != nullptr && cchClass != nullptr && *cchClass > 0) className[0] = 0;
    if (cchClass) *cchClass = 0;
    if (cSubKeys) *cSubKeys = S().keys[it->second].first;
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
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (S().openKeys.erase((uintptr_t)key) == 0) return ERROR_INVALID_HANDLE;
    S().reg.closes++;
    return ERROR_SUCCESS;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    (void)security;
    (void)flags;
    (void)templateFile;
    std::wstring key = Lower(path);
    auto record = [&](DWORD error) {
        S().fileEvents.push_back({hostwin::FileEvent::Open, path, error});
        t_lastError = error;
        return error == 0 ? (HANDLE)0 : INVALID_HANDLE_VALUE;
    };
    if (access != GENERIC_READ || disposition != OPEN_EXISTING || (share & FILE_SHARE_READ) == 0)
        return record(ERROR_INVALID_PARAMETER);
    if (S().failOpen.count(key)) return record(S().failOpen[key]);
    if (S().held.count(key)) return record(ERROR_SHARING_VIOLATION);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return record(MissingError(host));
    if (S_ISDIR(st.st_mode)) return record(ERROR_ACCESS_DENIED);
    int fd = open(host.c_str(), O_RDONLY);
    if (fd < 0) return record(ERROR_ACCESS_DENIED);
    record(0);
    t_lastError = 0;
    Handle h{Handle::File};
    h.fd = fd;
    h.path = path;
    return (HANDLE)NewHandle(std::move(h));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD cbToRead, LPDWORD cbRead, LPOVERLAPPED overlapped)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (cbRead) *cbRead = 0;
    Handle *h = FindHandle(file, Handle::File);
    if (h == nullptr) {
        S().fileEvents.push_back({hostwin::FileEvent::Read, hostwin::kInvalidHandlePath, 0});
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != nullptr || cbRead == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto fault = S().failRead.find(Lower(h->path));
    if (fault != S().failRead.end() && h->reads >= fault->second.first) {
        S().fileEvents.push_back({hostwin::FileEvent::Read, h->path, 0});
        return Fail(fault->second.second);
    }
    ssize_t got = read(h->fd, buffer, cbToRead);
    if (got < 0) return Fail(ERROR_ACCESS_DENIED);
    h->reads++;
    *cbRead = (DWORD)got;
    S().fileEvents.push_back({hostwin::FileEvent::Read, h->path, (DWORD)got});
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    std::unique_lock<std::recursive_mutex> lock(g_lock);
    auto it = S().handles.find((uintptr_t)handle);
    if (it == S().handles.end() || it->second.kind == Handle::Search) return Fail(ERROR_INVALID_HANDLE);
    if (it->second.kind == Handle::File) close(it->second.fd);
    if (it->second.kind == Handle::Thread && !it->second.ended) pthread_detach(it->second.thread);
    S().handles.erase(it);
    return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    std::wstring full(pattern);
    size_t slash = full.find_last_of(L'\\');
    std::wstring dirPart = slash == std::wstring::npos ? L"" : full.substr(0, slash);
    std::wstring mask = full.substr(slash == std::wstring::npos ? 0 : slash + 1);
    std::string hostDir = MapPath(dirPart + L"\\");
    DIR *dir = opendir(hostDir.c_str());
    if (dir == nullptr) {
        t_lastError = ERROR_PATH_NOT_FOUND;
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
    std::sort(names.begin(), names.end());   // Wine lists a folder sorted
    if (names.empty()) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    Handle h{Handle::Search};
    for (const std::wstring &name : names) {
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
        h.entries.push_back(fd);
    }
    *data = h.entries[0];
    h.next = 1;
    t_lastError = 0;
    return (HANDLE)NewHandle(std::move(h));
}

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    Handle *h = FindHandle(search, Handle::Search);
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (h->next >= h->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    *data = h->entries[h->next++];
    return TRUE;
}

BOOL FindClose(HANDLE search)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (FindHandle(search, Handle::Search) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    S().handles.erase((uintptr_t)search);
    return TRUE;
}

DWORD GetLongPathNameW(LPCWSTR path, LPWSTR buffer, DWORD cchBuffer)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        t_lastError = MissingError(host);
        return 0;
    }
    // The paths the programs build already carry the on-disk names, so the long form is the path.
    size_t len = wcslen(path);
    if (len + 1 > cchBuffer) return (DWORD)(len + 1);
    wmemmove(buffer, path, len + 1);
    return (DWORD)len;
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT cchBuffer)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    const std::wstring &dir = S().windowsDir;
    if (dir.empty()) {
        t_lastError = ERROR_PATH_NOT_FOUND;
        return 0;
    }
    if (dir.size() + 1 > cchBuffer) return (UINT)(dir.size() + 1);
    wmemcpy(buffer, dir.c_str(), dir.size() + 1);
    return (UINT)dir.size();
}

BOOL DeleteFileW(LPCWSTR path)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    std::wstring key = Lower(path);
    auto record = [&](DWORD error) {
        S().fileEvents.push_back({hostwin::FileEvent::Delete, path, error});
        if (error == 0) return TRUE;
        t_lastError = error;
        return FALSE;
    };
    if (S().failDelete.count(key)) return record(S().failDelete[key]);
    if (S().held.count(key)) return record(ERROR_SHARING_VIOLATION);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return record(MissingError(host));
    // Wine refuses to delete a read-only file or a folder, even for root.
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return record(ERROR_ACCESS_DENIED);
    if (unlink(host.c_str()) != 0) return record(ERROR_ACCESS_DENIED);
    return record(0);
}

void Sleep(DWORD milliseconds)
{
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        S().threads.sleeps.push_back(milliseconds);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    pthread_t thread;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        Handle *h = FindHandle(handle, Handle::Thread);
        if (h == nullptr || milliseconds != INFINITE) {
            t_lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if (h->ended) return WAIT_OBJECT_0;
        thread = h->thread;
    }
    pthread_join(thread, nullptr);
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    Handle *h = FindHandle(handle, Handle::Thread);
    if (h != nullptr) h->ended = true;
    S().threads.joined++;
    return WAIT_OBJECT_0;
}

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Box box;
    size_t index;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        if (!S().boxScripts.empty()) {
            box.script = S().boxScripts.front();
            S().boxScripts.pop_front();
        }
        hostwin::BoxRecord rec{owner, text ? text : L"", caption != nullptr,
                               caption ? caption : L"Error", type, 0, false, false, Elapsed(), -1};
        S().boxes.push_back(rec);
        index = S().boxes.size() - 1;
        uintptr_t id = S().nextHandle;
        S().nextHandle += 4;
        Window w{L"#32770", rec.caption, GetCurrentProcessId()};
        w.box = &box;
        S().windows[id] = w;
        box.hwnd = (HWND)id;
    }
    int result = RunBox(box);
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().windows.erase((uintptr_t)box.hwnd);
    hostwin::BoxRecord &rec = S().boxes[index];
    rec.result = result;
    rec.closedByCommand = box.byCommand;
    rec.timedOut = !box.closed;
    rec.closedAtMs = Elapsed();
    g_changed.notify_all();
    return result;
}

HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (parent != nullptr) return nullptr;
    auto it = S().windows.begin();
    if (after != nullptr) {
        it = S().windows.upper_bound((uintptr_t)after);
    }
    for (; it != S().windows.end(); ++it) {
        const Window &w = it->second;
        if (w.box != nullptr && !w.box->findable) continue;
        if (className != nullptr && Lower(className) != Lower(w.className)) continue;
        if (title != nullptr && Lower(title) != Lower(w.title)) continue;
        return (HWND)it->first;
    }
    return nullptr;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR title) { return FindWindowExW(nullptr, nullptr, className, title); }

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto it = S().windows.find((uintptr_t)window);
    if (it == S().windows.end()) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    if (processId) *processId = it->second.processId;
    return 1;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto it = S().windows.find((uintptr_t)window);
    if (it == S().windows.end()) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    if (message != WM_COMMAND) return 0;
    it->second.commands++;
    Box *box = it->second.box;
    if (box != nullptr && !box->closed) {
        box->closed = true;
        box->byCommand = true;
        box->result = LOWORD(wParam);
        g_changed.notify_all();
    }
    return 0;
}

// ---- Runtime library threads ----

namespace {
struct ThreadStart {
    unsigned(__stdcall *start)(void *);
    void *argument;
};

void *ThreadTrampoline(void *p)
{
    ThreadStart ts = *(ThreadStart *)p;
    delete (ThreadStart *)p;
    unsigned code = ts.start(ts.argument);
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().threads.lastExitCode = code;
    return nullptr;
}
}  // namespace

uintptr_t _beginthreadex(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                         void *argument, unsigned flags, unsigned *threadId)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (security != nullptr || stackSize != 0 || flags != 0 || start == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (S().failThreadStart) {
        errno = EAGAIN;
        return 0;
    }
    Handle h{Handle::Thread};
    if (pthread_create(&h.thread, nullptr, ThreadTrampoline, new ThreadStart{start, argument}) != 0)
        return 0;
    S().threads.started++;
    if (threadId) *threadId = (unsigned)S().threads.started;
    return NewHandle(std::move(h));
}

void _endthreadex(unsigned exitCode)
{
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        S().threads.exitCalls++;
        S().threads.lastExitCode = exitCode;
    }
    pthread_exit(nullptr);
}

// ---- The OEM INF copy service ----

BOOL SetupCopyOEMInfW(LPCWSTR sourceInf, LPCWSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                      LPWSTR destination, DWORD cchDestination, LPDWORD cchRequired,
                      PZPWSTR destinationComponent)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    S().copyCalls.push_back({sourceInf ? sourceInf : L"", mediaLocation == nullptr, mediaType, copyStyle,
                             destination == nullptr, cchDestination, cchRequired == nullptr,
                             destinationComponent == nullptr});
    DWORD verdict = 0;
    if (!S().copyVerdicts.empty()) {
        verdict = S().copyVerdicts.front();
        S().copyVerdicts.pop_front();
    }
    if (verdict != 0) return Fail(verdict);
    t_lastError = 0;
    return TRUE;
}
