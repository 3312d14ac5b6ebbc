// Appending to the setup package's log.
#include "setup_log.h"

#include <stdarg.h>
#include <stdio.h>

HANDLE OpenSetupLog(const wchar_t *path)
{
    if (path == NULL) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

void LogLine(HANDLE log, const wchar_t *line)
{
    if (log == INVALID_HANDLE_VALUE) return;
    char bytes[kCchLogLine + 2];
    size_t cb = 0;
    for (; *line != 0 && cb < kCchLogLine; ++line) bytes[cb++] = (*line < 0x80) ? (char)*line : '?';
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
