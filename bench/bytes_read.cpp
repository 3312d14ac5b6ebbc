// Counts the bytes the purge reads from the benchmark store, through the host stand-in, against
// the least the reading rules allow: non-matching files whole, matching files up to the chunk
// that completes the match.
#include "driverprep.h"
#include "hostwin.h"
#include "inf_store.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

int main()
{
    char pattern[] = "/tmp/brellan-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    std::string root = pattern;
    hostwin::Reset();
    hostwin::SetDriveRoot(root);
    std::filesystem::create_directories(root + "/Windows/inf");
    size_t cbMinimum = 0, cbTotal = 0;
    int matching = 0;
    for (int i = 0; i < bench::kFileCount; ++i) {
        bench::InfFile file = bench::MakeInfFile(i);
        std::ofstream(hostwin::HostPath(L"C:\\Windows\\inf\\" + bench::InfName(i)), std::ios::binary)
            .write(file.bytes.data(), (std::streamsize)file.bytes.size());
        cbMinimum += file.cbMinimumRead;
        cbTotal += file.bytes.size();
        matching += file.namesDevice;
    }
    PurgeStaleInfs();
    size_t cbRead = 0;
    int deleted = 0;
    for (const hostwin::FileEvent &e : hostwin::FileEvents()) {
        if (e.kind == hostwin::FileEvent::Read) cbRead += e.result;
        if (e.kind == hostwin::FileEvent::Delete && e.result == 0) ++deleted;
    }
    std::filesystem::remove_all(root);
    printf("bytes read by the purge: %zu of %zu in the store; minimum the rules allow: %zu (%s)\n", cbRead, cbTotal,
           cbMinimum, cbRead == cbMinimum ? "exactly the minimum" : "NOT the minimum");
    printf("matching files: %d, files deleted: %d (no twins in this store)\n", matching, deleted);
    return cbRead == cbMinimum && deleted == matching ? 0 : 1;
}
