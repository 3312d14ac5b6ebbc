#include "harness.h"

#include <mscat.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>

namespace harness {

const wchar_t kDeviceKey[] = L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402";
static const wchar_t kSandboxMarker[] = L"\\brellan-test-sandbox";

std::wstring WindowsDir()
{
    wchar_t dir[MAX_PATH];
    UINT cch = GetWindowsDirectoryW(dir, MAX_PATH);
    return (cch == 0 || cch >= MAX_PATH) ? L"" : std::wstring(dir, cch);
}

std::wstring InfDir() { return WindowsDir() + L"\\inf"; }

bool InSandbox(std::wstring *why)
{
    wchar_t flag[8];
    DWORD cch = GetEnvironmentVariableW(L"BRELLAN_WINE_SANDBOX", flag, 8);
    if (cch != 1 || flag[0] != L'1') {
        *why = L"BRELLAN_WINE_SANDBOX=1 is not set";
        return false;
    }
    if (!FileExists(WindowsDir() + kSandboxMarker)) {
        *why = L"the Windows folder has no brellan-test-sandbox marker";
        return false;
    }
    return true;
}

std::wstring ProgramPath(const wchar_t *exeName)
{
    if (wcschr(exeName, L'\\') != NULL) return exeName;
    wchar_t dir[MAX_PATH];
    DWORD cch = GetEnvironmentVariableW(L"BRELLAN_PROGRAM_DIR", dir, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        cch = GetModuleFileNameW(NULL, dir, MAX_PATH);
        wchar_t *slash = wcsrchr(dir, L'\\');
        if (slash) *slash = 0;
    }
    return std::wstring(dir) + L"\\" + exeName;
}

void SetDeviceInstances(int instances)
{
    // Undo any DACL a test left, so the key can be removed.
    SetDeviceKeyDacl(L"D:P(A;;KA;;;WD)");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDeviceKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDeviceKey);
    if (instances < 0) return;
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeviceKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    for (int i = 0; i < instances; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"5&2a9b3c%d&0&%d", i, i + 1);
        HKEY sub = NULL;
        if (RegCreateKeyExW(key, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL) == ERROR_SUCCESS)
            RegCloseKey(sub);
    }
    RegCloseKey(key);
}

bool SetDeviceKeyDacl(const wchar_t *sddl)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return false;
    PSECURITY_DESCRIPTOR sd = NULL;
    bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, NULL) &&
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS;
    if (sd) LocalFree(sd);
    RegCloseKey(key);
    return ok;
}

static std::wstring Lower(std::wstring s)
{
    for (wchar_t &c : s) c = (wchar_t)std::towlower(c);
    return s;
}

bool ReadFileBytes(const std::wstring &path, std::string *bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char chunk[65536];
    DWORD cbRead = 0;
    while (ReadFile(file, chunk, sizeof chunk, &cbRead, NULL) && cbRead > 0) bytes->append(chunk, cbRead);
    CloseHandle(file);
    return true;
}

StoreSnapshot SnapshotInfStore()
{
    StoreSnapshot snapshot;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((InfDir() + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return snapshot;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        FileState state{0, 0};
        std::string bytes;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && ReadFileBytes(InfDir() + L"\\" + name, &bytes)) {
            state.size = bytes.size();
            state.hash = 1469598103934665603ull;   // FNV-1a
            for (unsigned char c : bytes) state.hash = (state.hash ^ c) * 1099511628211ull;
        }
        snapshot[Lower(name)] = state;
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return snapshot;
}

std::wstring DescribeChanges(const StoreSnapshot &before, const StoreSnapshot &after)
{
    std::wstring out;
    for (const auto &b : before) {
        auto a = after.find(b.first);
        if (a == after.end()) out += L"removed " + b.first + L"\n";
        else if (a->second.hash != b.second.hash || a->second.size != b.second.size) out += L"changed " + b.first + L"\n";
    }
    for (const auto &a : after)
        if (!before.count(a.first)) out += L"added " + a.first + L"\n";
    return out;
}

bool WriteFileBytes(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD cbWritten = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &cbWritten, NULL);
    CloseHandle(file);
    return ok && cbWritten == bytes.size();
}

std::vector<std::wstring> AddedFiles(const StoreSnapshot &before, const StoreSnapshot &after)
{
    std::vector<std::wstring> added;
    for (const auto &a : after)
        if (!before.count(a.first)) added.push_back(a.first);
    return added;
}

void RestoreInfStore(const StoreSnapshot &baseline)
{
    for (const std::wstring &name : AddedFiles(baseline, SnapshotInfStore())) {
        std::wstring path = InfDir() + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    }
}

const wchar_t kInstallFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Installer";

std::wstring SuiteFile(const wchar_t *relativePath)
{
    wchar_t dir[MAX_PATH];
    DWORD cch = GetModuleFileNameW(NULL, dir, MAX_PATH);
    std::wstring path(dir, cch);
    return path.substr(0, path.find_last_of(L'\\') + 1) + relativePath;
}

std::string SampleInf(const wchar_t *name)
{
    std::string bytes;
    ReadFileBytes(SuiteFile((std::wstring(L"data\\") + name).c_str()), &bytes);
    return bytes;
}

unsigned ProgramMachine(const std::wstring &path)
{
    std::string bytes;
    if (!ReadFileBytes(path, &bytes) || bytes.size() < 0x40) return 0;
    size_t pe = *(const uint32_t *)(bytes.data() + 0x3C);
    if (pe + 6 > bytes.size()) return 0;
    return *(const uint16_t *)(bytes.data() + pe + 4);
}

bool PlaceInstallFile(const wchar_t *name, const std::string &bytes)
{
    std::wstring path = std::wstring(kInstallFolder) + L"\\" + name;
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), NULL);
    return WriteFileBytes(path, bytes);
}

// The files under `folder`, by their paths relative to it, subfolders' included.
static void ListFiles(const std::wstring &folder, const std::wstring &prefix, std::vector<std::wstring> *files)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListFiles(folder + L"\\" + name, prefix + name + L"\\", files);
        else files->push_back(prefix + name);
    } while (FindNextFileW(search, &data));
    FindClose(search);
}

std::vector<std::wstring> SuiteFiles(const wchar_t *folder)
{
    std::vector<std::wstring> files;
    ListFiles(SuiteFile(folder), L"", &files);
    return files;
}

std::map<std::wstring, std::string> FolderFiles(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    std::map<std::wstring, std::string> files;
    ListFiles(folder, L"", &names);
    for (const std::wstring &name : names) ReadFileBytes(folder + L"\\" + name, &files[name]);
    return files;
}

std::vector<std::wstring> SampleFiles()
{
    return SuiteFiles(L"data");
}

bool PlaceSamplePackages()
{
    std::vector<std::wstring> files = SampleFiles();
    for (const std::wstring &file : files) {
        std::string bytes;
        if (!ReadFileBytes(SuiteFile((L"data\\" + file).c_str()), &bytes) || !PlaceInstallFile(file.c_str(), bytes)) return false;
    }
    return !files.empty();
}

// Removes `folder` with everything in it.
static void RemoveTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(folder + L"\\" + name);
            else DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }
    if (!RemoveDirectoryW(folder.c_str())) DeleteFileW(folder.c_str());
}

void RemoveInstallFolder() { RemoveTree(kInstallFolder); }

bool FileExists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int PressOk(const BoxInfo &) { return IDOK; }

int LeaveAlone(const BoxInfo &) { return 0; }

int PressNext(const PageInfo &) { return IDOK; }

bool SavePicture(HWND window, const std::wstring &path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD cbRow = ((DWORD)width * 3 + 3) & ~3u;
    std::string pixels(cbRow * (DWORD)height, '\0');
    bool ok = GetDIBits(memory, bitmap, 0, (UINT)height, &pixels[0], (BITMAPINFO *)&info, DIB_RGB_COLORS) == height;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (!ok) return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;   // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + (DWORD)pixels.size();
    std::string bytes((const char *)&file, sizeof file);
    bytes.append((const char *)&info, sizeof info);
    bytes += pixels;
    return WriteFileBytes(path, bytes);
}

bool PageSays(const PageInfo &page, const std::wstring &text)
{
    for (const std::wstring &shown : page.texts)
        if (shown.find(text) != std::wstring::npos) return true;
    return false;
}

std::string DescribePage(const PageInfo &page)
{
    std::wstring all = L"page \"" + page.title + L"\" of \"" + page.caption + L"\":";
    for (const std::wstring &text : page.texts) all += L"\n  text: " + text;
    for (const std::wstring &button : page.buttons) all += L"\n  button: " + button;
    for (const std::wstring &step : page.steps) all += L"\n  step: " + step;
    int cb = WideCharToMultiByte(CP_UTF8, 0, all.c_str(), (int)all.size(), NULL, 0, NULL, NULL);
    std::string out(cb > 0 ? cb : 0, '\0');
    if (cb > 0) WideCharToMultiByte(CP_UTF8, 0, all.c_str(), (int)all.size(), &out[0], cb, NULL, NULL);
    return out;
}

const wchar_t kNoticeTitle[] = L"Installing";

int PressOkLetNoticeClose(const BoxInfo &box) { return box.caption == kNoticeTitle ? 0 : IDOK; }

bool NoticeEndedAsDesigned(const BoxInfo &notice)
{
    return !notice.rescued || (notice.ownerThreads == 1 && notice.seenAtMs > kNoticeLookLimitMs);
}

std::vector<BoxInfo> OtherThanNotice(const std::vector<BoxInfo> &boxes)
{
    std::vector<BoxInfo> others;
    for (const BoxInfo &box : boxes)
        if (box.caption != kNoticeTitle) others.push_back(box);
    return others;
}

namespace {

struct BoxSearch {
    std::vector<DWORD> processIds;   // the program and every process it started
    std::vector<HWND> found;
};

// Adds to `ids` (which holds the root) every live process descended from it: an installer's
// boxes come from the programs it runs.
void AddDescendants(std::vector<DWORD> *ids)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    std::vector<std::pair<DWORD, DWORD>> links;   // process, parent
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        links.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
    CloseHandle(snapshot);
    for (size_t i = 0; i < ids->size(); ++i)
        for (const auto &link : links)
            if (link.second == (*ids)[i] && std::find(ids->begin(), ids->end(), link.first) == ids->end())
                ids->push_back(link.first);
}

BOOL CALLBACK CollectBox(HWND window, LPARAM param)
{
    BoxSearch *search = (BoxSearch *)param;
    wchar_t cls[32];
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (std::find(search->processIds.begin(), search->processIds.end(), pid) != search->processIds.end() &&
        GetClassNameW(window, cls, 32) && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectControl(HWND control, LPARAM param)
{
    BoxInfo *info = (BoxInfo *)param;
    wchar_t cls[32];
    wchar_t text[256];
    if (!IsWindowVisible(control) || !GetClassNameW(control, cls, 32)) return TRUE;
    if (_wcsicmp(cls, L"Button") == 0) {
        GetWindowTextW(control, text, 256);
        info->buttons.push_back(text);
        info->buttonIds.push_back(GetDlgCtrlID(control));
    } else if (_wcsicmp(cls, L"Static") == 0 && (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
               SendMessageW(control, STM_GETICON, 0, 0) != 0) {
        info->hasIcon = true;
    }
    return TRUE;
}

// The number of threads of a process, 0 when they cannot be listed.
int CountThreads(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == processId) ++count;
    CloseHandle(snapshot);
    return count;
}

// The setup package's window: NSIS's wizard holds its pages in place of this control.
const int kWizardPagePlace = 1018;
const int kWizardHeading = 1037;
const int kWizardSubheading = 1038;
const int kWizardStatus = 1006;   // a progress page's line above its bar

bool IsWizard(HWND window) { return GetDlgItem(window, kWizardPagePlace) != NULL; }

std::wstring TextOf(HWND control)
{
    wchar_t text[2048];
    int cch = GetWindowTextW(control, text, 2048);
    return std::wstring(text, cch > 0 ? cch : 0);
}

BOOL CALLBACK CollectPageControl(HWND control, LPARAM param)
{
    PageInfo *info = (PageInfo *)param;
    wchar_t cls[32];
    if (!IsWindowVisible(control) || !GetClassNameW(control, cls, 32)) return TRUE;
    std::wstring text = TextOf(control);
    if (text.empty()) return TRUE;
    if (_wcsicmp(cls, L"Button") == 0 || _wcsicmp(cls, L"Link") == 0) info->buttons.push_back(text);
    else if (_wcsicmp(cls, L"Static") == 0 && GetDlgCtrlID(control) != kWizardHeading) info->texts.push_back(text);
    return TRUE;
}

// The page the wizard shows: the one visible dialog inside it (one going may linger, hidden).
HWND ShownPage(HWND window)
{
    HWND shown = NULL;
    for (HWND inner = FindWindowExW(window, NULL, L"#32770", NULL); inner; inner = FindWindowExW(window, inner, L"#32770", NULL))
        if (IsWindowVisible(inner)) shown = inner;
    return shown;
}

PageInfo ReadPage(HWND window)
{
    PageInfo info;
    info.window = window;
    info.caption = TextOf(window);
    info.page = ShownPage(window);
    HWND heading = GetDlgItem(window, kWizardHeading);
    if (heading && IsWindowVisible(heading)) info.title = TextOf(heading);
    EnumChildWindows(window, CollectPageControl, (LPARAM)&info);
    // A full-window page (welcome, finish) has its heading as its first text.
    if (info.title.empty() && info.page) {
        PageInfo inner;
        EnumChildWindows(info.page, CollectPageControl, (LPARAM)&inner);
        if (!inner.texts.empty()) info.title = inner.texts[0];
    }
    if (!info.title.empty()) {
        auto at = std::find(info.texts.begin(), info.texts.end(), info.title);
        if (at != info.texts.end()) info.texts.erase(at);
        info.texts.insert(info.texts.begin(), info.title);
    }
    return info;
}

// Reads the wizard `window` into `pages` (a new page when its dialog or heading changed), notes a
// progress page's new line, and asks for and presses the page's answer.
void FollowWizard(HWND window, DWORD now, const PageAnswer &answer, std::vector<PageInfo> *pages)
{
    // Windows may give a new page the handle of the one before: a page is the same while its
    // handle is and it stays a progress page or not (the progress page's heading changes when it
    // ends; the others' do not). Once answered, a page is not read again: reading another
    // process's controls is slow under emulation, and the boxes must still be seen at once.
    HWND shown = ShownPage(window);
    if (!shown) return;
    const bool progress = GetDlgItem(shown, kWizardStatus) != NULL;
    bool same = !pages->empty() && pages->back().window == window && pages->back().page == shown &&
                (GetDlgItem(pages->back().page, kWizardStatus) != NULL) == progress;
    if (!same || !pages->back().answered) {
        // A page is taken once its heading is there: before, it is still being built.
        PageInfo seen = ReadPage(window);
        if (seen.page != shown || seen.title.empty()) return;
        same = same && (progress || pages->back().title == seen.title);
        if (!same) {
            seen.seenAtMs = now;
            pages->push_back(seen);
        } else {
            PageInfo &known = pages->back();
            seen.steps = known.steps;
            seen.seenAtMs = known.seenAtMs;
            seen.enabledAtMs = known.enabledAtMs;
            // A progress page keeps the heading it worked under: a run that ends within the
            // harness's first looks has already changed it to its ending words.
            if (progress) seen.title = known.title;
            known = seen;
        }
    }
    PageInfo &page = pages->back();
    HWND status = GetDlgItem(page.page, kWizardStatus);
    if (status && IsWindowVisible(status)) {
        std::wstring line = TextOf(status);
        if (!line.empty() && (page.steps.empty() || page.steps.back() != line)) page.steps.push_back(line);
    }
    if (!page.answered && now - page.seenAtMs >= kPressAfterMs) {
        page.answered = 1;
        page.pressWith = answer(page);
    }
    // Pressed once it has been enabled a while, as a person would: a progress page that moves on
    // by itself when it ends is never pressed on into the page after it.
    HWND button = page.pressWith ? GetDlgItem(window, page.pressWith) : NULL;
    if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) {
        page.enabledAtMs = 0;
    } else if (!page.enabledAtMs) {
        page.enabledAtMs = now ? now : 1;
    } else if (now - page.enabledAtMs >= kPressAfterMs) {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(page.pressWith, BN_CLICKED), (LPARAM)button);
        page.pressWith = 0;
    }
}

BoxInfo ReadBox(HWND window)
{
    BoxInfo info;
    info.window = window;
    wchar_t text[1024];
    int cch = GetWindowTextW(window, text, 1024);
    info.caption.assign(text, cch > 0 ? cch : 0);
    cch = GetDlgItemTextW(window, 0xFFFF, text, 1024);
    info.text.assign(text, cch > 0 ? cch : 0);
    EnumChildWindows(window, CollectControl, (LPARAM)&info);
    return info;
}

}  // namespace

// A window station nobody can see, with its desktop, for as long as this lives.
struct UnseenDesktop {
    HWINSTA station = NULL;
    HDESK desktop = NULL;
    ~UnseenDesktop()
    {
        if (desktop) CloseDesktop(desktop);
        if (station) CloseWindowStation(station);
    }
    // Creates them; returns the name a program is started on, "" on failure.
    std::wstring Create()
    {
        const wchar_t kStation[] = L"BrellanUnseen";
        station = CreateWindowStationW(kStation, 0, WINSTA_ALL_ACCESS, NULL);
        if (!station) return L"";
        HWINSTA own = GetProcessWindowStation();
        if (!SetProcessWindowStation(station)) return L"";
        desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
        SetProcessWindowStation(own);
        return desktop ? std::wstring(kStation) + L"\\Default" : L"";
    }
};

// A token of this process's with the Administrators group for deny only; NULL when it cannot be made.
static HANDLE UserToken()
{
    HANDLE own = NULL, user = NULL;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD cb = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &cb)) return NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return NULL;
    SID_AND_ATTRIBUTES denied = {administrators, 0};
    if (!CreateRestrictedToken(own, 0, 1, &denied, 0, NULL, 0, NULL, &user)) user = NULL;
    CloseHandle(own);
    return user;
}

bool Start(const wchar_t *exeName, const wchar_t *args, PROCESS_INFORMATION *process, const wchar_t *desktop, Rights rights)
{
    std::wstring path = ProgramPath(exeName);
    std::wstring commandLine = L"\"" + path + L"\"";
    if (args && *args) commandLine += std::wstring(L" ") + args;
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(0);
    std::vector<wchar_t> mutableDesktop(desktop, desktop + wcslen(desktop) + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (*desktop) startup.lpDesktop = mutableDesktop.data();
    *process = {};
    if (rights == Rights::kAdministrator)
        return CreateProcessW(path.c_str(), mutableLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, process);
    HANDLE user = UserToken();
    bool started = user && CreateProcessAsUserW(user, path.c_str(), mutableLine.data(), NULL, NULL, FALSE, 0, NULL, NULL,
                                                &startup, process);
    if (user) CloseHandle(user);
    return started;
}

RunResult Run(const wchar_t *exeName, const wchar_t *args, const BoxAnswer &answer, DWORD limitMs, Screen screen,
              const PageAnswer &pageAnswer, Rights rights)
{
    RunResult result;
    UnseenDesktop unseen;
    std::wstring desktop;
    if (screen == Screen::kUnseen && (desktop = unseen.Create()).empty()) return result;
    PROCESS_INFORMATION process = {};
    DWORD start = GetTickCount();
    if (!Start(exeName, args, &process, desktop.c_str(), rights)) return result;
    result.started = true;
    BOOL wow64 = FALSE;
    result.wow64 = IsWow64Process(process.hProcess, &wow64) && wow64;
    std::vector<size_t> open;   // indexes into result.boxes of boxes not yet seen closed
    for (;;) {
        DWORD waited = WaitForSingleObject(process.hProcess, 20);
        if (waited == WAIT_OBJECT_0) break;
        if (GetTickCount() - start > limitMs) {
            result.timedOut = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        }
        DWORD now = GetTickCount() - start;
        for (size_t i = 0; i < open.size();) {
            BoxInfo &known = result.boxes[open[i]];
            if (!IsWindow(known.window) || !IsWindowVisible(known.window)) {
                known.goneAtMs = now;
                open.erase(open.begin() + (long)i);
                continue;
            }
            if (known.buttons.empty()) {
                // Seen while still being built (a slow machine): read it again while it is up.
                BoxInfo again = ReadBox(known.window);
                known.text = again.text;
                known.buttons = again.buttons;
                known.buttonIds = again.buttonIds;
                known.hasIcon = again.hasIcon;
            }
            if (known.pressWith != 0 && now - known.seenAtMs >= kPressAfterMs) {
                PostMessageW(known.window, WM_COMMAND, known.pressWith, 0);
                known.pressWith = 0;
            }
            if (!known.rescued && now - known.seenAtMs > kRescueAfterMs) {
                known.rescued = true;
                PostMessageW(known.window, WM_COMMAND, IDOK, 0);
            }
            ++i;
        }
        BoxSearch search{{process.dwProcessId}, {}};
        AddDescendants(&search.processIds);
        EnumWindows(CollectBox, (LPARAM)&search);
        for (HWND box : search.found) {
            if (IsWizard(box)) {
                FollowWizard(box, now, pageAnswer, &result.pages);
                continue;
            }
            bool known = false;
            for (size_t i : open) known = known || result.boxes[i].window == box;
            if (known) continue;
            BoxInfo info = ReadBox(box);
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            info.ownerThreads = CountThreads(owner);
            info.seenAtMs = now;
            info.othersOpen = (int)open.size();
            info.pressWith = answer(info);
            open.push_back(result.boxes.size());
            result.boxes.push_back(info);
        }
    }
    result.elapsedMs = GetTickCount() - start;
    for (size_t i : open) result.boxes[i].goneAtMs = result.elapsedMs;
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

const std::vector<std::wstring> kPackagePrograms = {L"BrellanFlashwrightSetup.exe", L"SetupWatch.exe", L"SetupRollback.exe",
                                                     L"DriverPrep.exe", L"PkgStage.exe"};

std::vector<std::wstring> Running(const std::vector<std::wstring> &names, bool end)
{
    std::vector<std::wstring> running;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return running;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        for (const std::wstring &program : names) {
            if (_wcsicmp(entry.szExeFile, program.c_str()) != 0) continue;
            running.push_back(program);
            HANDLE process = end ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID) : NULL;
            if (process) {
                TerminateProcess(process, 0xDEAD);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
    }
    CloseHandle(snapshot);
    return running;
}

static const wchar_t kDetectionKey[] = L"SOFTWARE\\Quillmere\\Brellan Flashwright Installer";

std::wstring DetectedVersion()
{
    wchar_t value[64];
    DWORD cb = sizeof value;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kDetectionKey, L"Version", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                                  NULL, value, &cb);
    return status == ERROR_SUCCESS ? value : L"";
}

static const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuillmereBrellanFlashwright";

std::wstring UninstallEntry(const wchar_t *name)
{
    wchar_t value[1024];
    DWORD cb = sizeof value;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKey, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, NULL,
                                  value, &cb);
    return status == ERROR_SUCCESS ? value : L"";
}

std::wstring RegistryText(const wchar_t *key, const wchar_t *name)
{
    wchar_t value[1024];
    DWORD cb = sizeof value;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND |
                                  RRF_SUBKEY_WOW6464KEY, NULL, value, &cb);
    return status == ERROR_SUCCESS ? value : L"";
}

const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brellan Flashwright Setup";
const wchar_t kEventMessageFile[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Events.exe";

void RemoveEventSource()
{
    DeleteFileW(kEventMessageFile);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_WOW64_64KEY, 0);
}

std::string RunOutput()
{
    char unixPath[MAX_PATH];
    std::string bytes;
    DWORD cch = GetEnvironmentVariableA("BRELLAN_RUN_OUTPUT", unixPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return bytes;
    std::wstring path = L"Z:";
    for (const char *c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : (wchar_t)(unsigned char)*c;
    ReadFileBytes(path, &bytes);
    return bytes;
}

void RemoveUninstallEntry() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY, 0); }

void SetDetectedVersion(const wchar_t *version)
{
    if (!version) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDetectionKey, L"Version");
    else RegSetKeyValueW(HKEY_LOCAL_MACHINE, kDetectionKey, L"Version", REG_SZ, version, (DWORD)(wcslen(version) + 1) * 2);
}

bool ReadCatalogMembers(const std::wstring &catalog, std::vector<CatalogMember> *members)
{
    members->clear();
    std::wstring path = catalog;
    HANDLE opened = CryptCATOpen(&path[0], CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
    if (opened == INVALID_HANDLE_VALUE) return false;
    for (CRYPTCATMEMBER *member = CryptCATEnumerateMember(opened, NULL); member;
         member = CryptCATEnumerateMember(opened, member)) {
        wchar_t subject[40] = L"";
        StringFromGUID2(member->gSubjectType, subject, 40);
        members->push_back({member->pwszReferenceTag ? member->pwszReferenceTag : L"", subject,
                            member->pIndirectData ? member->pIndirectData->DigestAlgorithm.pszObjId : ""});
    }
    CryptCATClose(opened);
    return true;
}

}  // namespace harness
