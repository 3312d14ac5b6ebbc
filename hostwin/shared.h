// What the areas of the stand-in share: one lock over all of their state, a signal for threads
// that wait on a box, the clock tests read, ids for every handle, key and window, and the table of
// the file, search and thread handles that CloseHandle and OpenHandles see together.
// Internal to the stand-in; tests use hostwin.h.
#pragma once

#include "hostwin.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace hostwin {
namespace shared {

extern std::recursive_mutex g_lock;
extern std::condition_variable_any g_changed;
typedef std::lock_guard<std::recursive_mutex> Guard;

long Elapsed();          // milliseconds since Reset()
uintptr_t NewId();       // a fresh value for a handle, key or window
bool Fail(DWORD code);   // sets the last error, returns FALSE

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
uintptr_t NewHandle(Handle h);
Handle *FindHandle(HANDLE h, Handle::Kind kind);
void EraseHandle(HANDLE h);

std::wstring Lower(const std::wstring &s);
std::string Narrow(const std::wstring &w);   // UTF-8

// Maps C:\... onto the drive root set by SetDriveRoot; any other path maps to a host path that
// does not exist.
std::string MapPath(const std::wstring &path);
// The error Wine gives for a host path that does not resolve: 2 for a missing leaf, 3 for a
// missing folder.
DWORD MissingError(const std::string &host);

// A folder's security follows it: made (with the descriptor given, or none), moved.
void MadeWithSecurity(const std::wstring &path, const void *descriptor);
void MoveSecurity(const std::wstring &from, const std::wstring &to);

// Each area clears its own state; Reset() calls them all under the lock.
void ResetRegistry();
void ResetFiles();
void ResetFileSecurity();
void ResetSearch();
void ResetWindows();
void ResetThreads();
void ResetCopyService();

}  // namespace shared
}  // namespace hostwin
