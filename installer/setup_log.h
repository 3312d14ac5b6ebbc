// The setup package's log, as the package's helpers (SetupWatch, SetupRollback) append to it: one
// ASCII line each. The package holds the file closed while a helper runs.
#pragma once

// <wchar.h> before <windows.h>: mingw then maps vswprintf to msvcrt's _vsnwprintf, not to a
// 30 KiB formatter of its own linked into each helper.
#include <wchar.h>
#include <windows.h>
#include <stdarg.h>
#include <stddef.h>

// The longest line, terminator included: room for a box's whole text quoted, and its label.
static const size_t kCchLogLine = 6211;

// The log at `path`, opened for appending while others may read it; INVALID_HANDLE_VALUE when
// `path` is NULL or the file cannot be opened. A log that cannot be written never stops a helper.
HANDLE OpenSetupLog(const wchar_t *path);

// Appends one line, as ASCII (everything logged is ASCII or quoted; anything else becomes '?').
void LogLine(HANDLE log, const wchar_t *line);

// Formats one line (at most kCchLogLine - 1 characters; a longer one is cut) and appends it.
void LogFormatted(HANDLE log, const wchar_t *format, ...);
void LogFormattedList(HANDLE log, const wchar_t *format, va_list args);
