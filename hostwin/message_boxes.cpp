// USER32: message boxes, top-level window lookup and WM_COMMAND. A box is a window of class
// "#32770" titled with its caption ("Error" when none is given, as on Windows and Wine); it
// becomes findable and is answered as a test scripted, or closes on a command sent to it.
#include "shared.h"

#include <chrono>
#include <deque>
#include <map>

namespace hostwin {
namespace shared {
namespace {

// A box that nobody closes returns after this long, so a faulty test cannot hang the run.
const int kBoxSafetyLimitMs = 10000;

struct Box {
    HWND hwnd;
    BoxScript script;
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

struct WindowState {
    std::deque<BoxScript> scripts;
    std::vector<BoxRecord> boxes;
    std::map<uintptr_t, Window> windows;   // in creation order: the z-order the lookups see
};
WindowState *g_ui = new WindowState;

HWND AddWindow(const Window &w)
{
    uintptr_t id = NewId();
    g_ui->windows[id] = w;
    return (HWND)id;
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

void ResetWindows() { *g_ui = WindowState(); }

}  // namespace shared

using namespace shared;

void ScriptBox(const BoxScript &script)
{
    Guard lock(g_lock);
    g_ui->scripts.push_back(script);
}

std::vector<BoxRecord> Boxes()
{
    Guard lock(g_lock);
    return g_ui->boxes;
}

HWND AddForeignWindow(const std::wstring &className, const std::wstring &title, DWORD processId)
{
    Guard lock(g_lock);
    return AddWindow(Window{className, title, processId});
}

int CommandsReceived(HWND window)
{
    Guard lock(g_lock);
    auto it = g_ui->windows.find((uintptr_t)window);
    return it == g_ui->windows.end() ? -1 : it->second.commands;
}

}  // namespace hostwin

using namespace hostwin::shared;

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Box box;
    size_t index;
    {
        Guard lock(g_lock);
        if (!g_ui->scripts.empty()) {
            box.script = g_ui->scripts.front();
            g_ui->scripts.pop_front();
        }
        hostwin::BoxRecord rec{owner, text ? text : L"", caption != nullptr,
                               caption ? caption : L"Error", type, 0, false, false, Elapsed(), -1};
        g_ui->boxes.push_back(rec);
        index = g_ui->boxes.size() - 1;
        Window w{L"#32770", rec.caption, GetCurrentProcessId()};
        w.box = &box;
        box.hwnd = AddWindow(w);
    }
    int result = RunBox(box);
    Guard lock(g_lock);
    g_ui->windows.erase((uintptr_t)box.hwnd);
    hostwin::BoxRecord &rec = g_ui->boxes[index];
    rec.result = result;
    rec.closedByCommand = box.byCommand;
    rec.timedOut = !box.closed;
    rec.closedAtMs = Elapsed();
    g_changed.notify_all();
    return result;
}

HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title)
{
    Guard lock(g_lock);
    if (parent != nullptr) return nullptr;
    auto it = after != nullptr ? g_ui->windows.upper_bound((uintptr_t)after) : g_ui->windows.begin();
    for (; it != g_ui->windows.end(); ++it) {
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
    Guard lock(g_lock);
    auto it = g_ui->windows.find((uintptr_t)window);
    if (it == g_ui->windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId) *processId = it->second.processId;
    return 1;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    Guard lock(g_lock);
    auto it = g_ui->windows.find((uintptr_t)window);
    if (it == g_ui->windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
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
