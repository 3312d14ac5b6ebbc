// Differential fuzz target: InfMentionsDevice, reading a file in chunks, against a plain search of
// the whole decoded text under the same rules. Also checks that the matcher reads exactly as far
// as the rules require: the whole file when nothing matches, up to the chunk that completes the
// first match otherwise.
#include "driverprep.h"
#include "hostwin.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::u16string kId = u"USB\\VID_8817&PID_3402";
const size_t kCbChunk = 1024;

// The whole file as the rules read it: UTF-16 after a byte-order mark, else one unit per byte.
std::u16string Decode(const uint8_t *data, size_t size, size_t *cbPerUnit)
{
    std::u16string text;
    bool le = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    bool be = size >= 2 && data[0] == 0xFE && data[1] == 0xFF;
    *cbPerUnit = (le || be) ? 2 : 1;
    if (!le && !be) {
        for (size_t i = 0; i < size; ++i) text += (char16_t)data[i];
        return text;
    }
    for (size_t i = 0; i + 1 < size; i += 2)
        text += le ? (char16_t)(data[i] | (data[i + 1] << 8)) : (char16_t)((data[i] << 8) | data[i + 1]);
    return text;
}

std::string g_root;
const std::wstring kPath = L"C:\\fuzz.inf";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_root.empty()) {
        char pattern[] = "/tmp/brellan-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        g_root = pattern;
    }
    hostwin::Reset();
    hostwin::SetDriveRoot(g_root);
    FILE *file = fopen(hostwin::HostPath(kPath).c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size) abort();
    fclose(file);

    size_t cbPerUnit = 1;
    std::u16string text = Decode(data, size, &cbPerUnit);
    size_t at = text.find(kId);
    int expected = at != std::u16string::npos;
    size_t cbExpected = size;
    if (expected) {
        size_t cbEnd = (at + kId.size()) * cbPerUnit;   // the match's last byte is cbEnd - 1
        size_t chunks = (cbEnd - 1) / kCbChunk + 1;
        cbExpected = chunks * kCbChunk < size ? chunks * kCbChunk : size;
    }

    int got = InfMentionsDevice(kPath.c_str());
    size_t cbRead = 0;
    for (const hostwin::FileEvent &e : hostwin::FileEvents())
        if (e.kind == hostwin::FileEvent::Read) cbRead += e.result;
    if (got != expected || cbRead != cbExpected || !hostwin::Boxes().empty() || hostwin::OpenHandles() != 0) {
        fprintf(stderr, "verdict %d (reference %d), read %zu bytes (minimum %zu)\n", got, expected, cbRead, cbExpected);
        abort();
    }
    return 0;
}
