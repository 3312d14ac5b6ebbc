// The state every area shares (lock, clock, ids, the handle table), the calling thread's last
// error, CloseHandle over files and threads alike, and Reset().
#include "shared.h"

#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <chrono>
#include <map>

namespace hostwin {
namespace shared {

std::recursive_mutex g_lock;
std::condition_variable_any g_changed;

namespace {

struct Table {
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextId = 0x100;
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
};
// Never destroyed: a detached worker may still reach it while the process exits.
Table *g_table = new Table;
thread_local DWORD t_lastError = 0;

}  // namespace

long Elapsed()
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - g_table->epoch).count();
}

uintptr_t NewId()
{
    uintptr_t id = g_table->nextId;
    g_table->nextId += 4;
    return id;
}

bool Fail(DWORD code)
{
    t_lastError = code;
    return false;
}

uintptr_t NewHandle(Handle h)
{
    uintptr_t id = NewId();
    g_table->handles[id] = std::move(h);
    return id;
}

Handle *FindHandle(HANDLE h, Handle::Kind kind)
{
    auto it = g_table->handles.find((uintptr_t)h);
    if (it == g_table->handles.end() || it->second.kind != kind) return nullptr;
    return &it->second;
}

void EraseHandle(HANDLE h) { g_table->handles.erase((uintptr_t)h); }

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

}  // namespace shared

using namespace shared;

void Reset()
{
    Guard lock(g_lock);
    for (auto &h : g_table->handles) {
        if (h.second.kind == Handle::File && h.second.fd >= 0) close(h.second.fd);
        if (h.second.kind == Handle::Thread && !h.second.ended) pthread_join(h.second.thread, nullptr);
    }
    *g_table = Table();
    t_lastError = 0;
    ResetRegistry();
    ResetFiles();
    ResetFileSecurity();
    ResetSearch();
    ResetWindows();
    ResetThreads();
    ResetCopyService();
}

int OpenHandles()
{
    Guard lock(g_lock);
    return (int)g_table->handles.size();
}

long NowMs()
{
    Guard lock(g_lock);
    return Elapsed();
}

}  // namespace hostwin

using namespace hostwin::shared;

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

// Closes a file or a thread handle; a search handle belongs to FindClose.
BOOL CloseHandle(HANDLE handle)
{
    Guard lock(g_lock);
    auto it = g_table->handles.find((uintptr_t)handle);
    if (it == g_table->handles.end() || it->second.kind == Handle::Search) return Fail(ERROR_INVALID_HANDLE);
    if (it->second.kind == Handle::File) close(it->second.fd);
    if (it->second.kind == Handle::Thread && !it->second.ended) pthread_detach(it->second.thread);
    g_table->handles.erase(it);
    return TRUE;
}

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

// The machine's local time, as the log's stamps show it.
void GetLocalTime(LPSYSTEMTIME time)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    time->wYear = (WORD)(local.tm_year + 1900);
    time->wMonth = (WORD)(local.tm_mon + 1);
    time->wDayOfWeek = (WORD)local.tm_wday;
    time->wDay = (WORD)local.tm_mday;
    time->wHour = (WORD)local.tm_hour;
    time->wMinute = (WORD)local.tm_min;
    time->wSecond = (WORD)local.tm_sec;
    time->wMilliseconds = (WORD)(now.tv_nsec / 1000000);
}
