// Times the purge against the floor that the chunked-reading rule allows: the purge and match code
// as linked into DriverPrep, called directly, alternating in one run with two floors that only
// open, read and close every oem*.inf through the same Win32 calls (in 1024-byte chunks, and in
// one read per file, for context). Runs in a throwaway Wine prefix (or a disposable Windows VM).
//   purge_bench.exe [--make-store] [ROUNDS]
//   purge_bench.exe --stale-store COUNT   (only makes a store of COUNT stale 8 KiB copies with
//                                           twins, for timing whole installs on it)
#include "driverprep.h"
#include "harness.h"
#include "inf_store.h"

#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <vector>

namespace {

std::wstring InfDir() { return harness::InfDir() + L"\\"; }

// Writes the files that are missing (the purge removes the matching ones on every round).
bool MakeStore(bool all)
{
    for (int i = 0; i < bench::kFileCount; ++i) {
        std::wstring path = InfDir() + bench::InfName(i);
        if (!all && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (!harness::WriteFileBytes(path, bench::MakeInfFile(i).bytes)) return false;
    }
    return true;
}

// Makes the store a whole install is timed on: `count` stale 8 KiB copies with twins, written
// where missing; the copies an earlier run staged (below oem100) removed. The setup package's
// INF names are taken, so that Wine names its copies oemN as Windows does.
bool MakeStaleStore(int count)
{
    std::wstring dir = InfDir();
    for (const wchar_t *name : {L"flashwright.inf", L"brellan.inf"})
        if (GetFileAttributesW((dir + name).c_str()) == INVALID_FILE_ATTRIBUTES &&
            !harness::WriteFileBytes(dir + name, "[Version]\r\nSignature=\"$Windows NT$\"\r\n; takes the name\r\n"))
            return false;
    for (int i = 0; i < bench::kFirstOem; ++i) {
        std::wstring stem = dir + L"oem" + std::to_wstring(i);
        DeleteFileW((stem + L".inf").c_str());
        DeleteFileW((stem + L".pnf").c_str());
    }
    for (int i = 0; i < count; ++i) {
        std::wstring path = dir + bench::InfName(i);
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (!harness::WriteFileBytes(path, bench::MakeStaleCopy(i)) ||
            !harness::WriteFileBytes(path.substr(0, path.size() - 4) + L".pnf", "precompiled")) return false;
    }
    return true;
}

// Opens, reads in chunks of cbChunk and closes every oem*.inf: what any reading of the store costs.
void ReadEveryOemInf(DWORD cbChunk)
{
    static BYTE buffer[64 * 1024];
    std::wstring dir = InfDir();
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((dir + L"oem*.inf").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        HANDLE file = CreateFileW((dir + entry.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD cbRead = 0;
        while (ReadFile(file, buffer, cbChunk, &cbRead, NULL) && cbRead == cbChunk) {
        }
        CloseHandle(file);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// The deletions any purge must make: each matching copy by its long path, after its twin.
void DeleteMatchingCopies(const std::vector<int> &matching)
{
    std::wstring dir = InfDir();
    for (int i : matching) {
        std::wstring path = dir + bench::InfName(i);
        wchar_t longPath[MAX_PATH];
        DWORD cch = GetLongPathNameW(path.c_str(), longPath, MAX_PATH);
        std::wstring target = cch > 0 && cch < MAX_PATH ? std::wstring(longPath, cch) : path;
        DeleteFileW((target.substr(0, target.size() - 4) + L".pnf").c_str());
        DeleteFileW(target.c_str());
    }
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring why;
    if (!harness::InSandbox(&why)) {
        fwprintf(stderr, L"refusing to run: %ls (see scripts/wine-session.sh)\n", why.c_str());
        return 2;
    }
    if (argc > 2 && wcscmp(argv[1], L"--stale-store") == 0) return MakeStaleStore(_wtoi(argv[2])) ? 0 : 1;
    int first = 1;
    bool makeOnly = argc > 1 && wcscmp(argv[1], L"--make-store") == 0;
    if (makeOnly) first = 2;
    if (!MakeStore(true)) {
        fwprintf(stderr, L"could not write the store\n");
        return 1;
    }
    if (makeOnly) return 0;
    int rounds = argc > first ? _wtoi(argv[first]) : 9;
    if (rounds < 1) rounds = 1;

    LARGE_INTEGER frequency, t0, t1;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> purge, floorChunked, floorWhole, deletions;
    ReadEveryOemInf(64 * 1024);   // warm the file cache once
    std::vector<int> matching;
    for (int i = 0; i < bench::kFileCount; ++i)
        if (bench::MakeInfFile(i).namesDevice) matching.push_back(i);
    for (int round = 0; round < rounds; ++round) {
        MakeStore(false);
        QueryPerformanceCounter(&t0);
        PurgeStaleInfs();
        QueryPerformanceCounter(&t1);
        purge.push_back(Seconds(t0, t1, frequency));
        MakeStore(false);
        QueryPerformanceCounter(&t0);
        ReadEveryOemInf(1024);
        QueryPerformanceCounter(&t1);
        floorChunked.push_back(Seconds(t0, t1, frequency));
        QueryPerformanceCounter(&t0);
        ReadEveryOemInf(64 * 1024);
        QueryPerformanceCounter(&t1);
        floorWhole.push_back(Seconds(t0, t1, frequency));
        QueryPerformanceCounter(&t0);
        DeleteMatchingCopies(matching);
        QueryPerformanceCounter(&t1);
        deletions.push_back(Seconds(t0, t1, frequency));
    }
    MakeStore(false);
    double p = Median(purge), c = Median(floorChunked), w = Median(floorWhole), d = Median(deletions);
    wprintf(L"store: %d oem INF files, 1 KiB to 64 KiB, %d name the device; %d rounds, medians:\n", bench::kFileCount,
            bench::kFileCount / 100, rounds);
    wprintf(L"  purge (match + delete)      %8.1f ms\n", p * 1000);
    wprintf(L"  floor, 1024-byte reads      %8.1f ms\n", c * 1000);
    wprintf(L"  floor, one read per file    %8.1f ms\n", w * 1000);
    wprintf(L"  the %zu deletions alone       %8.1f ms   (GetLongPathNameW and two DeleteFileW each)\n",
            matching.size(), d * 1000);
    wprintf(L"  purge / 1024-byte floor     %8.3f   (target at most 1.10)\n", p / c);
    wprintf(L"  purge / (floor + deletions) %8.3f   (the least any purge of this store must do)\n", p / (c + d));
    wprintf(L"  purge / one-read floor      %8.3f\n", p / w);
    return 0;
}
