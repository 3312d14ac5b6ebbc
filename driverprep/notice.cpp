// The "Installing" notice: a message box on the main thread that a worker thread presses OK on
// half a second after it is up, so that it closes without the user.
#include "driverprep.h"

#include <windows.h>
#include <process.h>

static const wchar_t kNoticeText[] = L"        Installing Quillmere Brellan Flashwright Driver Files ";
// The box's caption and the title the worker looks for: one constant, so they cannot drift apart.
// The setup package's script reads it from this line, to tell its watch that this box closes itself.
static const wchar_t kNoticeTitle[] = L"Installing";
static const wchar_t kDialogClass[] = L"#32770";
static const DWORD kDismissDelayMs = 500;
// A busy machine can take a second or more to bring the box up: the worker looks for it this
// often, for at most this long, then leaves it to the user.
static const DWORD kLookEveryMs = 50;
static const DWORD kAppearLimitMs = 3000;

// Set once MessageBoxW has returned: a worker still looking then stops at once.
static volatile LONG g_noticeClosed = 0;

// This process's own notice, or NULL. Another program's window titled "Installing" (the setup
// package's own, say) is never the one returned.
static HWND FindOwnNotice()
{
    const DWORD ownProcessId = GetCurrentProcessId();
    for (HWND window = FindWindowExW(NULL, NULL, kDialogClass, kNoticeTitle); window != NULL;
         window = FindWindowExW(NULL, window, kDialogClass, kNoticeTitle)) {
        DWORD processId = 0;
        if (GetWindowThreadProcessId(window, &processId) != 0 && processId == ownProcessId) return window;
    }
    return NULL;
}

// The notice once it is up, or NULL when it has not come up within kAppearLimitMs or was closed
// before the worker saw it.
static HWND AwaitOwnNotice()
{
    for (DWORD waited = 0;; waited += kLookEveryMs) {
        if (InterlockedCompareExchange(&g_noticeClosed, 0, 0) != 0) return NULL;
        HWND notice = FindOwnNotice();
        if (notice != NULL || waited >= kAppearLimitMs) return notice;
        Sleep(kLookEveryMs);
    }
}

// Waits for the notice to come up, then presses OK on it half a second later, once. One that does
// not come up within the limit stays until the user closes it.
static unsigned __stdcall NoticeDismisser(void *argument)
{
    (void)argument;
    if (AwaitOwnNotice() != NULL) {
        Sleep(kDismissDelayMs);
        // Found again: the user may have closed it meanwhile.
        HWND notice = FindOwnNotice();
        if (notice != NULL) (void)SendMessageW(notice, WM_COMMAND, IDOK, 0);
    }
    _endthreadex(0);
    return 0;
}

void ShowInstallingNotice()
{
    unsigned threadId = 0;
    (void)InterlockedExchange(&g_noticeClosed, 0);
    HANDLE worker = (HANDLE)_beginthreadex(NULL, 0, NoticeDismisser, NULL, 0, &threadId);
    // OK, Cancel and the worker's command all lead on the same way.
    (void)MessageBoxW(NULL, kNoticeText, kNoticeTitle, MB_OKCANCEL);
    (void)InterlockedExchange(&g_noticeClosed, 1);
    if (worker == NULL) return;   // no worker started: nothing to wait for
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
}
