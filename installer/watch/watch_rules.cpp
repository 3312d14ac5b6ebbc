// The watch's rules that need no window system: its command line, how it quotes a box's text for
// the log, and when it answers a box.
#include "setup_watch.h"

#include <string.h>

static const wchar_t kLogOption[] = L"/log=";
static const wchar_t kAnswerAfterOption[] = L"/answer-after=";
static const wchar_t kLimitOption[] = L"/limit=";
static const wchar_t kSelfClosingOption[] = L"/closes-itself=";
static const wchar_t kBoxBeforeOption[] = L"/box-before=";
static const wchar_t kVerdictOption[] = L"/verdict=";
// An exit code /box-before= names: a program's own, one of 0 to 255.
static const unsigned long kMaxBoxBeforeCode = 255;
static const unsigned long kMsPerSecond = 1000;
static const unsigned long kUnseenAnswerAfterMs = 2000;
static const wchar_t kHexDigits[] = L"0123456789abcdef";
static const int kIdOk = 1;       // Win32's IDOK and IDCANCEL: this file builds without <windows.h>
static const int kIdCancel = 2;

// The value after `option` when `arg` starts with it, else NULL.
static const wchar_t *OptionValue(const wchar_t *arg, const wchar_t *option)
{
    size_t cchOption = wcslen(option);
    return wcsncmp(arg, option, cchOption) == 0 ? arg + cchOption : NULL;
}

// A whole number, digits only, at most `most`.
static int ParseNumber(const wchar_t *text, unsigned long most, unsigned long *value)
{
    unsigned long number = 0;
    if (*text == 0) return 0;
    for (; *text != 0; ++text) {
        if (*text < L'0' || *text > L'9') return 0;
        number = number * 10 + (unsigned long)(*text - L'0');
        if (number > most) return 0;
    }
    *value = number;
    return 1;
}

// Whole seconds, at most kMaxWatchSeconds, as milliseconds.
static int ParseSeconds(const wchar_t *text, unsigned long *ms)
{
    unsigned long seconds = 0;
    if (!ParseNumber(text, kMaxWatchSeconds, &seconds)) return 0;
    *ms = seconds * kMsPerSecond;
    return 1;
}

int ParseWatchOptions(int argc, wchar_t **argv, WatchOptions *options)
{
    options->logPath = NULL;
    options->answerAfterMs = kWatchNever;
    options->limitMs = kWatchNever;
    options->selfClosingCaption = NULL;
    options->boxBeforeCode = kWatchNever;
    options->verdictPath = NULL;
    options->program = NULL;
    if (argc < 2) return 0;
    for (int i = 1; i < argc - 1; ++i) {
        const wchar_t *value = NULL;
        if ((value = OptionValue(argv[i], kLogOption)) != NULL) {
            if (*value == 0) return 0;
            options->logPath = value;
        } else if ((value = OptionValue(argv[i], kAnswerAfterOption)) != NULL) {
            if (!ParseSeconds(value, &options->answerAfterMs)) return 0;
        } else if ((value = OptionValue(argv[i], kLimitOption)) != NULL) {
            if (!ParseSeconds(value, &options->limitMs)) return 0;
        } else if ((value = OptionValue(argv[i], kSelfClosingOption)) != NULL) {
            options->selfClosingCaption = value;
        } else if ((value = OptionValue(argv[i], kBoxBeforeOption)) != NULL) {
            if (!ParseNumber(value, kMaxBoxBeforeCode, &options->boxBeforeCode)) return 0;
        } else if ((value = OptionValue(argv[i], kVerdictOption)) != NULL) {
            if (*value == 0) return 0;
            options->verdictPath = value;
        } else {
            return 0;
        }
    }
    options->program = argv[argc - 1];
    return options->program[0] != 0 && options->program[0] != L'/';
}

// The escape for one character into `escape` (at most 6 characters and a terminator).
static void EscapeChar(wchar_t c, wchar_t *escape)
{
    const wchar_t *named = NULL;
    switch (c) {
    case L'\\': named = L"\\\\"; break;
    case L'"': named = L"\\\""; break;
    case L'\n': named = L"\\n"; break;
    case L'\r': named = L"\\r"; break;
    case L'\t': named = L"\\t"; break;
    default: break;
    }
    if (named != NULL) {
        wcscpy(escape, named);
    } else if (c >= 0x20 && c < 0x7F) {
        escape[0] = c;
        escape[1] = 0;
    } else {
        unsigned code = (unsigned)c & 0xFFFF;
        escape[0] = L'\\';
        escape[1] = L'u';
        for (int i = 0; i < 4; ++i) escape[2 + i] = kHexDigits[(code >> (12 - 4 * i)) & 0xF];
        escape[6] = 0;
    }
}

int QuoteForLog(const wchar_t *text, wchar_t *out, size_t cchOut)
{
    if (cchOut == 0) return 0;
    out[0] = 0;
    if (cchOut < 3) return 0;   // the quotes and the terminator
    size_t used = 0;
    out[used++] = L'"';
    for (; *text != 0; ++text) {
        wchar_t escape[8];
        EscapeChar(*text, escape);
        size_t cchEscape = wcslen(escape);
        if (used + cchEscape + 2 > cchOut) {   // the closing quote and the terminator still fit
            out[used] = 0;
            return 0;
        }
        memcpy(out + used, escape, cchEscape * sizeof(wchar_t));
        used += cchEscape;
    }
    out[used++] = L'"';
    out[used] = 0;
    return 1;
}

unsigned long AnswerDelayMs(unsigned long requestedMs, int screenVisible)
{
    if (screenVisible || requestedMs < kUnseenAnswerAfterMs) return requestedMs;
    return kUnseenAnswerAfterMs;
}

unsigned long LimitMs(unsigned long requestedMs, int screenVisible)
{
    if (screenVisible || requestedMs != kWatchNever) return requestedMs;
    return kUnseenLimitSeconds * kMsPerSecond;
}

static int FindButton(const BoxButton *buttons, int count, int id)
{
    for (int i = 0; i < count; ++i) {
        if (buttons[i].id == id && buttons[i].enabled) return i;
    }
    return -1;
}

int ChooseButton(const BoxButton *buttons, int count, int defaultId)
{
    const int preferred[] = {defaultId, kIdOk, kIdCancel};
    for (int id : preferred) {
        int at = id != 0 ? FindButton(buttons, count, id) : -1;
        if (at >= 0) return at;
    }
    for (int i = 0; i < count; ++i) {
        if (buttons[i].enabled) return i;
    }
    return -1;
}
