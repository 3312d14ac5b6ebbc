// The integration suite's entry. It changes the registry and the INF store of the machine it runs
// on, so it refuses to run anywhere but a throwaway test machine.
#include "harness.h"

#include <gtest/gtest.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::wstring why;
    if (!harness::InSandbox(&why)) {
        fwprintf(stderr, L"refusing to run: %ls. Run this suite only in a throwaway Wine prefix "
                         L"(scripts/wine-session.sh) or a disposable Windows VM.\n", why.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}
