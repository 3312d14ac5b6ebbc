// Whether a file names the Brellan device's hardware ID: DriverPrep's purge removes the copies that
// do, and the setup package's rollback keeps them first, so both use this one match.
#pragma once

#include <wchar.h>
#include <windows.h>

enum DeviceMatch { kNamesNothing = 0, kNamesDevice = 1, kUnreadable = -1 };

// DriverPrep reads in 1024-byte chunks; a chunk holds at most kCbChunkMax bytes, an even number.
static const DWORD kCbPurgeChunk = 1024;
static const DWORD kCbChunkMax = 16384;
// Reads the file at `path` in chunks of `cbChunk` bytes (8-bit text, or UTF-16 where it starts
// with a byte-order mark) and looks for the ID, also across chunk boundaries. Shows nothing.
int FileNamesDevice(const wchar_t *path, DWORD cbChunk);
// The same, and where it names the device, the ID it names first in `id` ("" otherwise).
int FileNamesDeviceId(const wchar_t *path, DWORD cbChunk, const wchar_t **id);
