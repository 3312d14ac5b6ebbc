// Decides whether an INF file names the Brellan device, reading it in fixed 1024-byte chunks.
//
// Each chunk is searched together with the tail of the one before it, so an ID that straddles a
// chunk boundary is still found, and reading stops at the first chunk that completes a match.
// A file that starts with a UTF-16 byte-order mark is searched as UTF-16 code units; any other
// file as 8-bit text, each byte standing for the code unit of the same value. A zero byte is a
// character like any other (it matches nothing): it does not end the text.
#include "driverprep.h"

#include <windows.h>
#include <string.h>

// Hardware IDs that name the device; an empty slot never matches.
static const wchar_t kDeviceIdTable[2][MAX_PATH] = {L"USB\\VID_8817&PID_3402", L""};
static const size_t kDeviceIdSlots = sizeof kDeviceIdTable / sizeof kDeviceIdTable[0];
static const DWORD kCbChunk = 1024;
// The longest tail carried into the next chunk: one character less than the longest possible ID.
static const size_t kCchTailMax = MAX_PATH - 2;
static const wchar_t kReadFailedText[] = L"ReadFile Failed";

enum TextEncoding { kEncoding8Bit, kEncodingUtf16Le, kEncodingUtf16Be };

static TextEncoding DetectEncoding(const BYTE *chunk, DWORD cbChunk)
{
    if (cbChunk >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) return kEncodingUtf16Le;
    if (cbChunk >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) return kEncodingUtf16Be;
    return kEncoding8Bit;
}

// Appends the chunk's characters to `text` and returns how many it wrote: cbChunk for 8-bit text,
// cbChunk / 2 for UTF-16 (a lone last byte is no whole code unit and is dropped).
static size_t AppendChunkText(const BYTE *chunk, DWORD cbChunk, TextEncoding encoding, wchar_t *text)
{
    if (encoding == kEncoding8Bit) {
        for (DWORD i = 0; i < cbChunk; ++i) text[i] = (wchar_t)chunk[i];
        return cbChunk;
    }
    size_t cch = cbChunk / 2;
    for (size_t i = 0; i < cch; ++i) {
        BYTE first = chunk[2 * i];
        BYTE second = chunk[2 * i + 1];
        text[i] = encoding == kEncodingUtf16Le ? (wchar_t)(first | (second << 8)) : (wchar_t)((first << 8) | second);
    }
    return cch;
}

// Whether `id` occurs in the first `cchText` characters of `text` (which may hold zeros).
static int TextContains(const wchar_t *text, size_t cchText, const wchar_t *id, size_t cchId)
{
    if (cchId == 0 || cchId > cchText) return 0;
    const size_t cbRest = (cchId - 1) * sizeof(wchar_t);
    for (size_t at = 0; at + cchId <= cchText; ++at) {
        if (text[at] == id[0] && memcmp(text + at + 1, id + 1, cbRest) == 0) return 1;
    }
    return 0;
}

static int TextNamesDevice(const wchar_t *text, size_t cchText)
{
    for (size_t slot = 0; slot < kDeviceIdSlots; ++slot) {
        if (TextContains(text, cchText, kDeviceIdTable[slot], wcslen(kDeviceIdTable[slot]))) return 1;
    }
    return 0;
}

// How many characters of one chunk's text to carry into the next: enough for the longest ID to
// straddle the boundary, no more.
static size_t TailLength()
{
    size_t cchLongest = 0;
    for (size_t slot = 0; slot < kDeviceIdSlots; ++slot) {
        size_t cch = wcslen(kDeviceIdTable[slot]);
        if (cch > cchLongest) cchLongest = cch;
    }
    return cchLongest == 0 ? 0 : cchLongest - 1;
}

static int ReportReadFailure()
{
    (void)MessageBoxW(NULL, kReadFailedText, NULL, MB_OK);
    return 0;
}

// Reads the open file chunk by chunk. Returns 1 at the first chunk that completes a match, 0 at
// the end of the file or after reporting a failed read.
static int ScanFile(HANDLE file)
{
    BYTE chunk[kCbChunk];
    wchar_t text[kCchTailMax + kCbChunk];
    size_t cchTail = 0;
    const size_t cchKeep = TailLength();
    TextEncoding encoding = kEncoding8Bit;
    for (int first = 1;; first = 0) {
        DWORD cbRead = 0;
        if (!ReadFile(file, chunk, kCbChunk, &cbRead, NULL)) return ReportReadFailure();
        if (first) encoding = DetectEncoding(chunk, cbRead);
        size_t cchText = cchTail + AppendChunkText(chunk, cbRead, encoding, text + cchTail);
        if (TextNamesDevice(text, cchText)) return 1;
        if (cbRead != kCbChunk) return 0;
        cchTail = cchText < cchKeep ? cchText : cchKeep;
        memmove(text, text + (cchText - cchTail), cchTail * sizeof(wchar_t));
    }
}

int InfMentionsDevice(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return ReportReadFailure();
    int mentions = ScanFile(file);
    CloseHandle(file);
    return mentions;
}
