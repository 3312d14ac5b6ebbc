// Appending to the setup package's log.
#include "setup_log.h"

#include <stdarg.h>
#include <stdio.h>

HANDLE OpenSetupLog(const wchar_t *path)
{
    if (path == NULL) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// "hh:mm:ss.mmm ": the local time of day a line is written at.
static const size_t kCchStamp = 13;

static void PutDigits(char *out, unsigned value, size_t digits)
{
    for (size_t i = digits; i > 0; --i, value /= 10) out[i - 1] = (char)('0' + value % 10);
}

void LogLine(HANDLE log, const wchar_t *line)
{
    if (log == INVALID_HANDLE_VALUE) return;
    char bytes[kCchStamp + kCchLogLine + 2];
    size_t cb = 0;
    // A line that starts an entry carries its time; the indented lines under it belong to it.
    if (*line != L' ') {
        SYSTEMTIME now;
        GetLocalTime(&now);
        PutDigits(bytes, now.wHour, 2);
        PutDigits(bytes + 3, now.wMinute, 2);
        PutDigits(bytes + 6, now.wSecond, 2);
        PutDigits(bytes + 9, now.wMilliseconds, 3);
        bytes[2] = bytes[5] = ':';
        bytes[8] = '.';
        bytes[12] = ' ';
        cb = kCchStamp;
    }
    const size_t cbEnd = cb + kCchLogLine;
    for (; *line != 0 && cb < cbEnd; ++line) bytes[cb++] = (*line < 0x80) ? (char)*line : '?';
    bytes[cb++] = '\r';
    bytes[cb++] = '\n';
    DWORD cbWritten = 0;
    (void)WriteFile(log, bytes, (DWORD)cb, &cbWritten, NULL);
}

// msvcrt leaves a line it had to cut unterminated: the last character is always the terminator here.
void LogFormattedList(HANDLE log, const wchar_t *format, va_list args)
{
    wchar_t line[kCchLogLine];
    (void)vswprintf(line, kCchLogLine, format, args);
    line[kCchLogLine - 1] = 0;
    LogLine(log, line);
}

void LogFormatted(HANDLE log, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    LogFormattedList(log, format, args);
    va_end(args);
}
