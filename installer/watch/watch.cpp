// Runs one program of the setup package and watches it: its boxes that stay open are answered
// with their default button, and a program that neither ends nor shows a box in time is ended.
// Everything the watch does goes into the package's log, one line each.
#include "setup_watch.h"

#include "setup_log.h"
#include "wide_text.h"

#include <windows.h>

static const DWORD kPollMs = 50;
static const int kMaxBoxes = 16;               // a program shows one modal box at a time
static const wchar_t kBoxClass[] = L"#32770";
static const size_t kCchClass = 8;             // "#32770" and room to tell a longer name apart
static const int kBoxTextId = 0xFFFF;          // the message text's control in a message box
static const size_t kCchBoxText = 1024;
static const size_t kCchQuoted = kCchBoxText * 6 + 3;   // every character escaped, and the quotes
static_assert(kCchQuoted + 64 <= kCchLogLine, "a quoted box text and its label fit one log line");
static const UINT kBoxQueryMs = 1000;          // a box that does not answer within this is hung
static const size_t kCchCommandLine = MAX_PATH + 3;
static const wchar_t kButtonClass[] = L"Button";
static const int kMaxButtons = 8;
static const size_t kCchButtonsLine = kCchLogLine - 16;
// A box is logged once its buttons are there, or once it has been up this long: under emulation
// a box is seen before it is whole.
static const DWORD kLogAfterMs = 250;
static const wchar_t kQuote[] = L"\"";
// The verdict file: "ended PID RESULT" and its line end, and its path with the suffix of the file
// it is written into before the rename.
static const size_t kCchVerdictLine = 48;
static const size_t kCchVerdictPath = MAX_PATH;
static const wchar_t kPartialSuffix[] = L".new";

// A box of the program, from the poll that first saw it until one that no longer does.
struct TrackedBox {
    HWND window;
    DWORD seenAtMs;
    int logged;
    int answered;
    int present;
};

// The push buttons of a box, in control order.
struct BoxButtons {
    int count;
    BoxButton buttons[kMaxButtons];
};

// What the poll of the program's boxes sees.
struct BoxTable {
    DWORD processId;
    DWORD nowMs;
    int count;
    TrackedBox boxes[kMaxBoxes];
};

// Whether the window station this process runs in is one a person can see. A deployment service
// runs installers in a station without WSF_VISIBLE. When the flags cannot be read, a person may
// be there.
static int ScreenIsVisible()
{
    USEROBJECTFLAGS flags = {FALSE, FALSE, 0};
    DWORD cbNeeded = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &cbNeeded)) return 1;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

static BOOL CALLBACK NoteBox(HWND window, LPARAM param)
{
    BoxTable *table = (BoxTable *)param;
    DWORD processId = 0;
    wchar_t className[kCchClass];
    if (GetWindowThreadProcessId(window, &processId) == 0 || processId != table->processId) return TRUE;
    if (!IsWindowVisible(window) || GetClassNameW(window, className, kCchClass) == 0 ||
        wcscmp(className, kBoxClass) != 0)
        return TRUE;
    for (int i = 0; i < table->count; ++i) {
        if (table->boxes[i].window == window) {
            table->boxes[i].present = 1;
            return TRUE;
        }
    }
    if (table->count < kMaxBoxes) {   // a table full of open boxes takes the next one later
        TrackedBox box = {window, table->nowMs, 0, 0, 1};
        table->boxes[table->count++] = box;
    }
    return TRUE;
}

// Brings the table up to date with the program's open boxes: boxes gone are dropped, new ones
// added with the time they were first seen.
static void PollBoxes(BoxTable *table)
{
    for (int i = 0; i < table->count; ++i) table->boxes[i].present = 0;
    (void)EnumWindows(NoteBox, (LPARAM)table);
    int kept = 0;
    for (int i = 0; i < table->count; ++i) {
        if (table->boxes[i].present) table->boxes[kept++] = table->boxes[i];
    }
    table->count = kept;
}

// A control's text, read with a time limit so that a hung program cannot hold the watch.
static void ReadControlText(HWND control, wchar_t *text, size_t cchText)
{
    DWORD_PTR cchRead = 0;
    text[0] = 0;
    if (control != NULL)
        (void)SendMessageTimeoutW(control, WM_GETTEXT, cchText, (LPARAM)text, SMTO_ABORTIFHUNG, kBoxQueryMs, &cchRead);
    text[cchText - 1] = 0;
}

// Logs a quoted text under its label.
static void LogQuoted(HANDLE log, const wchar_t *label, const wchar_t *text)
{
    wchar_t quoted[kCchQuoted];
    (void)QuoteForLog(text, quoted, kCchQuoted);   // sized for any text read: it always fits
    LogFormatted(log, L"  %ls: %ls", label, quoted);
}

static BOOL CALLBACK NoteButton(HWND child, LPARAM param)
{
    BoxButtons *found = (BoxButtons *)param;
    wchar_t className[kCchClass];
    if (found->count >= kMaxButtons || !IsWindowVisible(child) || GetClassNameW(child, className, kCchClass) == 0 ||
        wcscmp(className, kButtonClass) != 0)
        return TRUE;
    LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
    if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return TRUE;
    BoxButton button = {GetDlgCtrlID(child), IsWindowEnabled(child) ? 1 : 0};
    found->buttons[found->count++] = button;
    return TRUE;
}

static void ReadButtons(HWND box, BoxButtons *found)
{
    found->count = 0;
    (void)EnumChildWindows(box, NoteButton, (LPARAM)found);
}

// Logs the box as it stands: caption, text, and its buttons' texts.
static void LogBox(HWND box, const wchar_t *programName, const BoxButtons *found, HANDLE log)
{
    wchar_t text[kCchBoxText];
    wchar_t quoted[kCchQuoted];
    wchar_t buttons[kCchButtonsLine] = L"";
    LogFormatted(log, L"%ls showed a box:", programName);
    ReadControlText(box, text, kCchBoxText);
    LogQuoted(log, L"caption", text);
    ReadControlText(GetDlgItem(box, kBoxTextId), text, kCchBoxText);
    LogQuoted(log, L"text", text);
    for (int i = 0; i < found->count; ++i) {
        ReadControlText(GetDlgItem(box, found->buttons[i].id), text, kCchBoxText);
        (void)QuoteForLog(text, quoted, kCchQuoted);
        // A line too long for all the buttons ends with those that fit.
        if (!AppendChecked(buttons, kCchButtonsLine, i == 0 ? L"" : L" ") || !AppendChecked(buttons, kCchButtonsLine, quoted)) break;
    }
    LogFormatted(log, L"  buttons: %ls", buttons);
}

// Whether the box is one the program closes itself (its caption is the /closes-itself= one): such
// a box is no answer of the program's, and no evidence for its /box-before= code either.
static int ClosesItself(HWND box, const WatchOptions *options)
{
    wchar_t caption[kCchBoxText];
    if (options->selfClosingCaption == NULL) return 0;
    ReadControlText(box, caption, kCchBoxText);
    return wcscmp(caption, options->selfClosingCaption) == 0;
}

// Presses a button the box has (see ChooseButton) and logs which. Returns 1 when the box was one
// the program does not close itself.
static int AnswerBox(HWND box, DWORD openMs, const WatchOptions *options, HANDLE log)
{
    wchar_t caption[kCchBoxText];
    wchar_t buttonText[kCchBoxText];
    wchar_t quoted[kCchQuoted];
    BoxButtons found;
    DWORD_PTR defaultId = 0;
    int defaultButton = 0;
    ReadControlText(box, caption, kCchBoxText);
    ReadButtons(box, &found);
    if (SendMessageTimeoutW(box, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, kBoxQueryMs, &defaultId) &&
        HIWORD(defaultId) == DC_HASDEFID)
        defaultButton = LOWORD(defaultId);
    int chosen = ChooseButton(found.buttons, found.count, defaultButton);
    if (chosen < 0) {
        LogFormatted(log, L"the box has been open %lu ms, and has no button the watch could press", (unsigned long)openMs);
        return 0;
    }
    int button = found.buttons[chosen].id;
    ReadControlText(GetDlgItem(box, button), buttonText, kCchBoxText);
    (void)QuoteForLog(buttonText, quoted, kCchQuoted);
    LogFormatted(log, L"the box had been open %lu ms; the watch pressed %ls (%d)", (unsigned long)openMs, quoted, button);
    // Posted, not sent: a program that does not take it is ended by the time limit instead.
    (void)PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return !ClosesItself(box, options);
}

// When the program must have ended or shown a new box by: `limitMs` after the later of its start
// and the moment its newest box was due to be answered.
static DWORD LimitStartMs(const BoxTable *table, DWORD answerAfterMs, DWORD idleFromMs)
{
    for (int i = 0; i < table->count; ++i) {
        DWORD seenAtMs = table->boxes[i].seenAtMs;
        DWORD dueMs = (answerAfterMs == kWatchNever || seenAtMs > kWatchNever - answerAfterMs)
                          ? (DWORD)kWatchNever : seenAtMs + answerAfterMs;
        if (dueMs > idleFromMs) idleFromMs = dueMs;
    }
    return idleFromMs;
}

// Watches the running program until it ends, or ends it. Returns its exit code, with
// kWatchAnsweredBox added as described in setup_watch.h, or kWatchEndedProgram.
static DWORD WatchProgram(const WatchOptions *options, HANDLE process, DWORD processId, const wchar_t *programName,
                          HANDLE log)
{
    const int visible = ScreenIsVisible();
    const DWORD answerAfterMs = AnswerDelayMs(options->answerAfterMs, visible);
    const DWORD limitMs = LimitMs(options->limitMs, visible);
    const DWORD startMs = GetTickCount();
    if (options->limitMs != limitMs || options->answerAfterMs != answerAfterMs)
        LogFormatted(log, L"nobody can see this screen: a box of %ls left open is answered after %lu s; if it neither ends "
                          L"nor shows a box for %lu s, it is ended", programName, answerAfterMs / 1000, limitMs / 1000);
    BoxTable table = {processId, 0, 0, {}};
    BoxButtons found;
    DWORD idleFromMs = 0;
    int answeredProgram = 0;
    int showedBox = 0;
    while (WaitForSingleObject(process, kPollMs) == WAIT_TIMEOUT) {
        table.nowMs = GetTickCount() - startMs;
        PollBoxes(&table);
        idleFromMs = LimitStartMs(&table, answerAfterMs, idleFromMs);
        for (int i = 0; i < table.count; ++i) {
            TrackedBox *box = &table.boxes[i];
            DWORD openMs = table.nowMs - box->seenAtMs;
            if (!showedBox && !ClosesItself(box->window, options)) showedBox = 1;
            if (!box->logged) {
                ReadButtons(box->window, &found);
                if (found.count == 0 && openMs < kLogAfterMs) continue;
                box->logged = 1;
                LogBox(box->window, programName, &found, log);
            }
            if (box->answered || answerAfterMs == kWatchNever || openMs < answerAfterMs) continue;
            box->answered = 1;
            if (AnswerBox(box->window, openMs, options, log)) answeredProgram = 1;
        }
        if (limitMs != kWatchNever && table.nowMs > idleFromMs && table.nowMs - idleFromMs >= limitMs) {
            LogFormatted(log, L"%ls neither ended nor showed a box for %lu s; the watch ended it", programName, limitMs / 1000);
            (void)TerminateProcess(process, kWatchEndedProgram);
            // The package never ends while a program it started still runs, and never waits forever.
            if (WaitForSingleObject(process, kEndWaitSeconds * 1000) != WAIT_OBJECT_0) {
                LogFormatted(log, L"%ls was still there %lu s after the watch ended it", programName, kEndWaitSeconds);
                return kWatchProgramStayed;
            }
            return kWatchEndedProgram;
        }
    }
    DWORD exitCode = kWatchEndedProgram;
    (void)GetExitCodeProcess(process, &exitCode);
    LogFormatted(log, L"%ls ended with %lu", programName, (unsigned long)exitCode);
    if (exitCode == options->boxBeforeCode && !showedBox) {
        LogFormatted(log, L"%ls gives %lu only after a box, and showed none: it did not end by itself", programName,
                     (unsigned long)exitCode);
        return kWatchNoBoxBefore;
    }
    if (answeredProgram && exitCode <= 1) exitCode += kWatchAnsweredBox;
    return exitCode;
}

// The file name part of a path.
static const wchar_t *ProgramName(const wchar_t *path)
{
    const wchar_t *slash = wcsrchr(path, L'\\');
    return slash != NULL ? slash + 1 : path;
}

int WriteVerdict(const wchar_t *path, unsigned long processId, int ended, unsigned long result)
{
    if (path == NULL) return 1;
    char line[kCchVerdictLine];
    wchar_t partial[kCchVerdictPath] = L"";
    int cb = ended ? wsprintfA(line, "ended %lu %lu\r\n", processId, result) : wsprintfA(line, "started %lu\r\n", processId);
    if (!AppendChecked(partial, kCchVerdictPath, path) || !AppendChecked(partial, kCchVerdictPath, kPartialSuffix)) return 0;
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    BOOL whole = WriteFile(file, line, (DWORD)cb, &written, NULL) && written == (DWORD)cb && FlushFileBuffers(file);
    CloseHandle(file);
    // Renamed over the file only once whole: a reader finds the earlier line or this one, never half.
    if (!whole || !MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        (void)DeleteFileW(partial);   // a partial file left behind is never read
        return 0;
    }
    return 1;
}

int StartWatchedProgram(const WatchOptions *options, void **process, unsigned long *processId, void *log)
{
    const wchar_t *programName = ProgramName(options->program);
    wchar_t commandLine[kCchCommandLine] = L"";
    STARTUPINFOW startup;
    PROCESS_INFORMATION started = {NULL, NULL, 0, 0};
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    // The program takes no arguments: its command line is its quoted path alone.
    if (!AppendChecked(commandLine, kCchCommandLine, kQuote) ||
        !AppendChecked(commandLine, kCchCommandLine, options->program) ||
        !AppendChecked(commandLine, kCchCommandLine, kQuote)) {
        LogFormatted(log, L"could not start %ls: its path is too long", programName);
        return 0;
    }
    if (!CreateProcessW(options->program, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup,
                        &started)) {
        DWORD error = GetLastError();
        LogFormatted(log, L"could not start %ls (error 0x%lx)", programName, (unsigned long)error);
        return 0;
    }
    // The package ends a program whose watch was cut off by this id: it is written before the
    // program runs.
    if (!WriteVerdict(options->verdictPath, started.dwProcessId, 0, 0) || ResumeThread(started.hThread) == (DWORD)-1) {
        LogFormatted(log, L"could not start %ls: its process id could not be written to %ls", programName,
                     options->verdictPath);
        (void)TerminateProcess(started.hProcess, kWatchNotStarted);
        (void)WaitForSingleObject(started.hProcess, kEndWaitSeconds * 1000);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return 0;
    }
    CloseHandle(started.hThread);
    *process = started.hProcess;
    *processId = started.dwProcessId;
    return 1;
}

int RunWatch(const WatchOptions *options)
{
    HANDLE log = OpenSetupLog(options->logPath);
    DWORD result = kWatchNotStarted;
    HANDLE process = NULL;
    unsigned long processId = 0;
    if (StartWatchedProgram(options, &process, &processId, log)) {
        result = WatchProgram(options, process, processId, ProgramName(options->program), log);
        CloseHandle(process);
    }
    // The verdict last: without it the package knows the watch did not end by itself.
    if (!WriteVerdict(options->verdictPath, processId, 1, result))
        LogFormatted(log, L"the watch's verdict could not be written to %ls", options->verdictPath);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    return (int)result;
}
