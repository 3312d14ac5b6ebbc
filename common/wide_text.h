// Bounded wide-string building shared by both programs.
#pragma once

#include <string.h>
#include <wchar.h>

// Appends `tail` to the zero-terminated string in `buffer` (capacity `cchBuffer` characters,
// terminator included). Returns 1 when it fits; otherwise returns 0 and leaves `buffer` as it was:
// a path that does not fit is refused, never cut short.
static inline int AppendChecked(wchar_t *buffer, size_t cchBuffer, const wchar_t *tail)
{
    size_t cchUsed = wcslen(buffer);
    size_t cchTail = wcslen(tail);
    if (cchUsed >= cchBuffer || cchTail >= cchBuffer - cchUsed) return 0;
    memcpy(buffer + cchUsed, tail, (cchTail + 1) * sizeof(wchar_t));
    return 1;
}
