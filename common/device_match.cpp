// Decides whether a file names the Brellan device, reading it in fixed chunks: the one match
// DriverPrep's purge (1024-byte chunks) and the setup package's rollback (larger ones, fewer
// reads) both use. The chunk size changes only how many reads a file takes, never the answer.
//
// Each chunk is searched together with the tail of the one before it, so an ID that straddles a
// chunk boundary is still found, and reading stops at the first chunk that completes a match.
// A file that starts with a UTF-16 byte-order mark is searched as UTF-16 code units; any other
// file as 8-bit text, each byte standing for the code unit of the same value. A zero byte is a
// character like any other (it matches nothing): it does not end the text.
#include "device_match.h"

#include <windows.h>
#include <string.h>

// Hardware IDs that name the device; an empty slot never matches.
static const wchar_t kDeviceIdTable[2][MAX_PATH] = {L"USB\\VID_8817&PID_3402", L""};
static const size_t kDeviceIdSlots = sizeof kDeviceIdTable / sizeof kDeviceIdTable[0];
// The longest tail carried into the next chunk: one character less than the longest possible ID.
static const size_t kCchTailMax = MAX_PATH - 2;

enum TextEncoding { kEncoding8Bit, kEncodingUtf16Le, kEncodingUtf16Be };

static TextEncoding DetectEncoding(const BYTE *chunk, DWORD cbChunk)
{
    if (cbChunk >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) return kEncodingUtf16Le;
    if (cbChunk >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) return kEncodingUtf16Be;
    return kEncoding8Bit;
}

// Writes a UTF-16 chunk's code units to `units` and returns how many it wrote; a lone last byte
// is no whole code unit and is dropped.
static size_t DecodeUtf16Chunk(const BYTE *chunk, DWORD cbChunk, TextEncoding encoding, wchar_t *units)
{
    size_t cch = cbChunk / 2;
    for (size_t i = 0; i < cch; ++i) {
        BYTE first = chunk[2 * i];
        BYTE second = chunk[2 * i + 1];
        units[i] = encoding == kEncodingUtf16Le ? (wchar_t)(first | (second << 8)) : (wchar_t)((first << 8) | second);
    }
    return cch;
}

// One ID, prepared for a Boyer-Moore-Horspool search: each window of the text is tested from its
// last character, and the window moves on by how far that character stands from the ID's end.
// Characters above 0xFF share one shift, the smallest any of them may take.
struct IdSearch {
    const wchar_t *id;
    size_t cchId;
    WORD shift[256];   // an ID holds fewer than MAX_PATH characters
    WORD shiftWide;
};

static void PrepareSearch(const wchar_t *id, IdSearch *search)
{
    search->id = id;
    search->cchId = wcslen(id);
    search->shiftWide = (WORD)search->cchId;
    for (size_t c = 0; c < 256; ++c) search->shift[c] = (WORD)search->cchId;
    for (size_t i = 0; i + 1 < search->cchId; ++i) {
        WORD distance = (WORD)(search->cchId - 1 - i);
        if ((unsigned)id[i] < 256) search->shift[(unsigned)id[i]] = distance;
        else if (distance < search->shiftWide) search->shiftWide = distance;
    }
}

// Whether the ID occurs in the first `cchText` units of `text` (which may hold zeros): bytes of
// 8-bit text, each standing for the character of the same value, or UTF-16 code units. An empty
// ID never matches.
template <typename Unit>
static int TextContains(const Unit *text, size_t cchText, const IdSearch *search)
{
    const size_t cchId = search->cchId;
    if (cchId == 0 || cchId > cchText) return 0;
    const wchar_t *id = search->id;
    const unsigned last = (unsigned)id[cchId - 1];
    for (size_t at = 0; at + cchId <= cchText;) {
        unsigned c = (unsigned)text[at + cchId - 1];
        if (c == last) {
            size_t i = 0;
            while (i + 1 < cchId && (unsigned)text[at + i] == (unsigned)id[i]) ++i;
            if (i + 1 == cchId) return 1;
        }
        at += c < 256 ? search->shift[c] : search->shiftWide;
    }
    return 0;
}

// The slot of the first ID the text holds, or kDeviceIdSlots when it holds none.
template <typename Unit>
static size_t TextNamesDevice(const Unit *text, size_t cchText, const IdSearch *searches)
{
    for (size_t slot = 0; slot < kDeviceIdSlots; ++slot) {
        if (TextContains(text, cchText, &searches[slot])) return slot;
    }
    return kDeviceIdSlots;
}

// How many characters of one chunk's text to carry into the next: enough for the longest ID to
// straddle the boundary, no more.
static size_t TailLength(const IdSearch *searches)
{
    size_t cchLongest = 0;
    for (size_t slot = 0; slot < kDeviceIdSlots; ++slot) {
        if (searches[slot].cchId > cchLongest) cchLongest = searches[slot].cchId;
    }
    return cchLongest == 0 ? 0 : cchLongest - 1;
}

// Keeps the last `cchKeep` units of the text that ends at `textEnd` (or all `cchText` of them)
// just before `chunk`, where the next chunk's text will begin. Returns how many it kept.
template <typename Unit>
static size_t KeepTail(const Unit *textEnd, size_t cchText, size_t cchKeep, Unit *chunk)
{
    size_t cchTail = cchText < cchKeep ? cchText : cchKeep;
    memmove(chunk - cchTail, textEnd - cchTail, cchTail * sizeof(Unit));
    return cchTail;
}

// Reads the open file chunk by chunk. Returns kNamesDevice (with the ID's slot in `found`) at the
// first chunk that completes a match, kNamesNothing at the end of the file, kUnreadable at a failed
// read. Each chunk is read in place, right after the tail of the text before it; 8-bit text is
// searched as it was read, UTF-16 once decoded.
static int ScanFile(HANDLE file, const IdSearch *searches, DWORD cbChunk, size_t *found)
{
    BYTE bytes[kCchTailMax + kCbChunkMax];
    wchar_t units[kCchTailMax + kCbChunkMax / 2];
    BYTE *const chunk = bytes + kCchTailMax;
    wchar_t *const chunkUnits = units + kCchTailMax;
    const size_t cchKeep = TailLength(searches);
    size_t cchTail = 0;
    TextEncoding encoding = kEncoding8Bit;
    for (int first = 1;; first = 0) {
        DWORD cbRead = 0;
        if (!ReadFile(file, chunk, cbChunk, &cbRead, NULL)) return kUnreadable;
        if (first) encoding = DetectEncoding(chunk, cbRead);
        if (encoding == kEncoding8Bit) {
            size_t cchText = cchTail + cbRead;
            if ((*found = TextNamesDevice(chunk - cchTail, cchText, searches)) < kDeviceIdSlots) return kNamesDevice;
            cchTail = KeepTail(chunk + cbRead, cchText, cchKeep, chunk);
        } else {
            size_t cchChunk = DecodeUtf16Chunk(chunk, cbRead, encoding, chunkUnits);
            size_t cchText = cchTail + cchChunk;
            if ((*found = TextNamesDevice(chunkUnits - cchTail, cchText, searches)) < kDeviceIdSlots) return kNamesDevice;
            cchTail = KeepTail(chunkUnits + cchChunk, cchText, cchKeep, chunkUnits);
        }
        if (cbRead != cbChunk) return kNamesNothing;
    }
}

int FileNamesDeviceId(const wchar_t *path, DWORD cbChunk, const wchar_t **id)
{
    if (cbChunk == 0 || cbChunk > kCbChunkMax || cbChunk % 2 != 0) return kUnreadable;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return kUnreadable;
    IdSearch searches[kDeviceIdSlots];
    for (size_t slot = 0; slot < kDeviceIdSlots; ++slot) PrepareSearch(kDeviceIdTable[slot], &searches[slot]);
    size_t found = kDeviceIdSlots;
    int names = ScanFile(file, searches, cbChunk, &found);
    CloseHandle(file);
    if (id != NULL) *id = names == kNamesDevice ? kDeviceIdTable[found] : L"";
    return names;
}

int FileNamesDevice(const wchar_t *path, DWORD cbChunk) { return FileNamesDeviceId(path, cbChunk, NULL); }
