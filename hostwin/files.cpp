// KERNEL32's file calls: open, read, write, long paths, the Windows directory, folders, attributes
// and deletion, on a drive C: that lies below a temporary folder, with faults that tests script.
// Error codes and refusals follow what Wine gives (a read-only file or a folder cannot be deleted,
// even by root). A folder's security lives in file_security.cpp; this file moves and forgets it
// with the folder.
#include "shared.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace hostwin {
namespace shared {
namespace {

struct FileState {
    std::string driveRoot = "/nonexistent";
    std::wstring windowsDir = L"C:\\Windows";
    // Faults, by lower-case Windows path.
    std::map<std::wstring, DWORD> failOpen, failDelete;
    std::map<std::wstring, std::pair<int, DWORD>> failRead;   // good reads first, then the error
    std::map<std::wstring, bool> held;
    std::vector<FileEvent> events;
};
FileState *g_files = new FileState;

// Records an open or a delete: 0 for success, or the error, which becomes the last error.
bool Record(FileEvent::Kind kind, LPCWSTR path, DWORD error)
{
    g_files->events.push_back({kind, path, error});
    if (error != 0) SetLastError(error);
    return error == 0;
}

}  // namespace

void ResetFiles() { *g_files = FileState(); }

DWORD MissingError(const std::string &host)
{
    std::string parent = host.substr(0, host.find_last_of('/'));
    struct stat st;
    return (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? ERROR_FILE_NOT_FOUND
                                                                    : ERROR_PATH_NOT_FOUND;
}

std::string MapPath(const std::wstring &path)
{
    if (path.size() >= 3 && towlower(path[0]) == L'c' && path[1] == L':' && path[2] == L'\\') {
        std::string tail = Narrow(path.substr(3));
        std::replace(tail.begin(), tail.end(), '\\', '/');
        return g_files->driveRoot + "/" + tail;
    }
    return "/nonexistent-drive/" + Narrow(path);
}

}  // namespace shared

using namespace shared;

const wchar_t kInvalidHandlePath[] = L"<invalid handle>";

void SetDriveRoot(const std::string &hostRoot)
{
    Guard lock(g_lock);
    g_files->driveRoot = hostRoot;
}

void SetWindowsDirectory(const std::wstring &windowsDir)
{
    Guard lock(g_lock);
    g_files->windowsDir = windowsDir;
}

std::string HostPath(const std::wstring &windowsPath)
{
    Guard lock(g_lock);
    return MapPath(windowsPath);
}

void FailOpen(const std::wstring &path, DWORD error)
{
    Guard lock(g_lock);
    g_files->failOpen[Lower(path)] = error;
}

void FailReadAfter(const std::wstring &path, int goodReads, DWORD error)
{
    Guard lock(g_lock);
    g_files->failRead[Lower(path)] = {goodReads, error};
}

void FailDelete(const std::wstring &path, DWORD error)
{
    Guard lock(g_lock);
    g_files->failDelete[Lower(path)] = error;
}

void HoldOpen(const std::wstring &path)
{
    Guard lock(g_lock);
    g_files->held[Lower(path)] = true;
}

void CloseHeld(const std::wstring &path)
{
    Guard lock(g_lock);
    g_files->held.erase(Lower(path));
}

std::vector<FileEvent> FileEvents()
{
    Guard lock(g_lock);
    return g_files->events;
}

}  // namespace hostwin

using namespace hostwin::shared;
using hostwin::FileEvent;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    Guard lock(g_lock);
    (void)security;
    (void)flags;
    (void)templateFile;
    std::wstring key = Lower(path);
    auto refuse = [&](DWORD error) {
        Record(FileEvent::Open, path, error);
        return INVALID_HANDLE_VALUE;
    };
    // Reading: an existing file, shared for reading. Writing: a file created, replaced or
    // appended to.
    int mode = 0;
    if (access == GENERIC_READ && disposition == OPEN_EXISTING && (share & FILE_SHARE_READ) != 0) mode = O_RDONLY;
    else if (access == GENERIC_WRITE && disposition == CREATE_NEW) mode = O_WRONLY | O_CREAT | O_EXCL;
    else if (access == GENERIC_WRITE && disposition == CREATE_ALWAYS) mode = O_WRONLY | O_CREAT | O_TRUNC;
    else if (access == FILE_APPEND_DATA && disposition == OPEN_ALWAYS) mode = O_WRONLY | O_CREAT | O_APPEND;
    else return refuse(ERROR_INVALID_PARAMETER);
    if (g_files->failOpen.count(key)) return refuse(g_files->failOpen[key]);
    if (g_files->held.count(key)) return refuse(ERROR_SHARING_VIOLATION);
    std::string host = MapPath(path);
    struct stat st;
    bool exists = stat(host.c_str(), &st) == 0;
    if (!exists && mode == O_RDONLY) return refuse(MissingError(host));
    if (exists && S_ISDIR(st.st_mode)) return refuse(ERROR_ACCESS_DENIED);
    if (exists && (mode & O_EXCL)) return refuse(ERROR_FILE_EXISTS);
    int fd = open(host.c_str(), mode, 0644);
    if (fd < 0) return refuse(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    Record(FileEvent::Open, path, 0);
    SetLastError(0);
    Handle h{Handle::File};
    h.fd = fd;
    h.path = path;
    return (HANDLE)NewHandle(std::move(h));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD cbToRead, LPDWORD cbRead, LPOVERLAPPED overlapped)
{
    Guard lock(g_lock);
    if (cbRead) *cbRead = 0;
    Handle *h = FindHandle(file, Handle::File);
    if (h == nullptr) {
        g_files->events.push_back({FileEvent::Read, hostwin::kInvalidHandlePath, 0});
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != nullptr || cbRead == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto fault = g_files->failRead.find(Lower(h->path));
    if (fault != g_files->failRead.end() && h->reads >= fault->second.first) {
        g_files->events.push_back({FileEvent::Read, h->path, 0});
        return Fail(fault->second.second);
    }
    ssize_t got = read(h->fd, buffer, cbToRead);
    if (got < 0) return Fail(ERROR_ACCESS_DENIED);
    h->reads++;
    *cbRead = (DWORD)got;
    g_files->events.push_back({FileEvent::Read, h->path, (DWORD)got});
    return TRUE;
}

DWORD GetLongPathNameW(LPCWSTR path, LPWSTR buffer, DWORD cchBuffer)
{
    Guard lock(g_lock);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        SetLastError(MissingError(host));
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
    Guard lock(g_lock);
    const std::wstring &dir = g_files->windowsDir;
    if (dir.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (dir.size() + 1 > cchBuffer) return (UINT)(dir.size() + 1);
    wmemcpy(buffer, dir.c_str(), dir.size() + 1);
    return (UINT)dir.size();
}

BOOL DeleteFileW(LPCWSTR path)
{
    Guard lock(g_lock);
    std::wstring key = Lower(path);
    auto record = [&](DWORD error) { return Record(FileEvent::Delete, path, error) ? TRUE : FALSE; };
    if (g_files->failDelete.count(key)) return record(g_files->failDelete[key]);
    if (g_files->held.count(key)) return record(ERROR_SHARING_VIOLATION);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return record(MissingError(host));
    // Wine refuses to delete a read-only file or a folder, even for root.
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return record(ERROR_ACCESS_DENIED);
    if (unlink(host.c_str()) != 0) return record(ERROR_ACCESS_DENIED);
    return record(0);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD cbToWrite, LPDWORD cbWritten, LPOVERLAPPED overlapped)
{
    Guard lock(g_lock);
    if (cbWritten) *cbWritten = 0;
    Handle *h = FindHandle(file, Handle::File);
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || cbWritten == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ssize_t put = write(h->fd, buffer, cbToWrite);
    if (put < 0) return Fail(ERROR_ACCESS_DENIED);
    *cbWritten = (DWORD)put;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file)
{
    Guard lock(g_lock);
    Handle *h = FindHandle(file, Handle::File);
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    return fsync(h->fd) == 0 ? TRUE : Fail(ERROR_ACCESS_DENIED);
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    Guard lock(g_lock);
    std::string host = MapPath(path);
    if (mkdir(host.c_str(), 0755) == 0) {
        MadeWithSecurity(path, security != nullptr ? security->lpSecurityDescriptor : nullptr);
        return TRUE;
    }
    return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
}

BOOL RemoveDirectoryW(LPCWSTR path)
{
    Guard lock(g_lock);
    std::string host = MapPath(path);
    if (rmdir(host.c_str()) == 0) return TRUE;
    return Fail(errno == ENOTEMPTY ? ERROR_DIR_NOT_EMPTY : errno == ENOENT ? MissingError(host) : ERROR_ACCESS_DENIED);
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    Guard lock(g_lock);
    std::string host = MapPath(path);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        SetLastError(MissingError(host));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_READONLY;
}

BOOL CreateHardLinkW(LPCWSTR newLink, LPCWSTR existing, LPSECURITY_ATTRIBUTES security)
{
    Guard lock(g_lock);
    (void)security;
    if (link(MapPath(existing).c_str(), MapPath(newLink).c_str()) == 0) return TRUE;
    return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
}

static const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags)
{
    Guard lock(g_lock);
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {   // the restart's work, as Windows records it
        std::vector<std::wstring> work = hostwin::GetMultiValue(kSessionManager, L"PendingFileRenameOperations");
        work.push_back(L"\\??\\" + std::wstring(existing));
        work.push_back(newName ? L"\\??\\" + std::wstring(newName) : L"");
        hostwin::SetMultiValue(kSessionManager, L"PendingFileRenameOperations", work);
        return TRUE;
    }
    std::string from = MapPath(existing);
    std::string to = MapPath(newName);
    struct stat st;
    if (g_files->held.count(Lower(existing))) return Fail(ERROR_SHARING_VIOLATION);
    if (stat(from.c_str(), &st) != 0) return Fail(MissingError(from));
    if (stat(to.c_str(), &st) == 0 && !(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
    if (rename(from.c_str(), to.c_str()) != 0) return Fail(ERROR_ACCESS_DENIED);
    MoveSecurity(existing, newName);
    return TRUE;
}
