// A realistic INF store for the benchmarks, the same on every run and platform: 2,000 OEM INF
// files of 1 KiB to 64 KiB, 1% of which name the Brellan device (a quarter of those in UTF-16LE).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace bench {

const int kFileCount = 2000;
const int kFirstOem = 100;   // oem100.inf ... oem2099.inf
const char kDeviceId[] = "USB\\VID_8817&PID_3402";
const size_t kCbChunk = 1024;

struct InfFile {
    std::string bytes;
    bool namesDevice;
    size_t cbMinimumRead;   // what the reading rules require: all of it, or up to the matching chunk
};

inline uint32_t NextRandom(uint32_t *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

inline std::string Utf16Le(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// File `index` (0 .. kFileCount-1) of the store.
inline InfFile MakeInfFile(int index)
{
    uint32_t state = 0x9E3779B9u ^ (uint32_t)index * 2654435761u;
    size_t cbTarget = 1024 + NextRandom(&state) % (64 * 1024 - 1024);
    bool namesDevice = index % 100 == 37;
    bool utf16 = namesDevice && (index / 100) % 4 == 1;
    std::string text = "; Copyright Example Vendor\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
                       "Provider=%Vendor%\r\nDriverVer=01/01/2025,1.0.0.0\r\n\r\n[Manufacturer]\r\n%Vendor%=Models,NTamd64\r\n\r\n"
                       "[Models.NTamd64]\r\n";
    size_t cbText = utf16 ? cbTarget / 2 : cbTarget;
    size_t idAt = namesDevice ? text.size() + NextRandom(&state) % (cbText - text.size() - 64) : (size_t)-1;
    int line = 0;
    while (text.size() < cbText) {
        if (text.size() >= idAt) {
            text += "%Brellan%=Install," + std::string(kDeviceId) + "\r\n";
            idAt = (size_t)-1;
            continue;
        }
        char entry[96];
        snprintf(entry, sizeof entry, "%%Dev%d%%=Install_%d,HID\\VID_%04X&PID_%04X&REV_%04d\r\n", line, line % 7,
                 NextRandom(&state) % 0xFFFF, NextRandom(&state) % 0xFFFF, line);
        text += entry;
        ++line;
    }
    InfFile file;
    file.bytes = utf16 ? Utf16Le(text) : text;
    file.namesDevice = namesDevice;
    file.cbMinimumRead = file.bytes.size();
    if (namesDevice) {
        size_t at = text.find(kDeviceId);
        size_t cbEnd = utf16 ? 2 + 2 * (at + sizeof kDeviceId - 1) : at + sizeof kDeviceId - 1;
        size_t cbUpToChunk = ((cbEnd - 1) / kCbChunk + 1) * kCbChunk;
        if (cbUpToChunk < file.cbMinimumRead) file.cbMinimumRead = cbUpToChunk;
    }
    return file;
}

inline std::wstring InfName(int index) { return L"oem" + std::to_wstring(kFirstOem + index) + L".inf"; }

// Copy `index` of a store of stale 8 KiB copies (the whole-install figures): 1% name the device.
const size_t kCbStaleCopy = 8 * 1024;
inline std::string MakeStaleCopy(int index)
{
    std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\nDriverVer=01/01/2024,0.1.0.0\r\n[Models]\r\n";
    if (index % 100 == 37) text += "%Brellan%=Install," + std::string(kDeviceId) + "\r\n";
    for (int line = 0; text.size() < kCbStaleCopy; ++line) {
        char entry[64];
        snprintf(entry, sizeof entry, "%%Dev%d%%=Install,USB\\VID_1234&PID_%04X&REV_%04d\r\n", line, index % 0xFFFF, line);
        text += entry;
    }
    return text.substr(0, kCbStaleCopy);
}

}  // namespace bench
