// The real "Installing" notice under Wine: its text and buttons, that it closes without input,
// that it is over before the purge shows anything, and that it leaves another program's
// "Installing" box alone. Figures for its time on screen belong to the benchmark.
#include "harness.h"

#include <gtest/gtest.h>

#include <process.h>

namespace {

const wchar_t kNoticeText[] = L"        Installing Quillmere Brellan Flashwright Driver Files ";

class Notice : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::SetDeviceInstances(-1);
        baseline_ = harness::SnapshotInfStore();
    }
    void TearDown() override { harness::RestoreInfStore(baseline_); }
    harness::StoreSnapshot baseline_;
};

TEST_F(Notice, ShowsExactTextAndClosesByItself)
{
    // On a slow machine (the emulated 32-bit tier) the notice may be up too briefly for the
    // harness to read it whole: play DriverPrep again until it is seen whole while the worker
    // still waits. However slowly it comes up, it closes by itself every time.
    harness::RunResult run;
    for (int attempt = 0; attempt < 6; ++attempt) {
        run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
        for (const harness::BoxInfo &seen : run.boxes)
            if (seen.caption == L"Installing") EXPECT_TRUE(harness::NoticeEndedAsDesigned(seen)) << "attempt " << attempt;
        bool seenWhole = run.boxes.size() == 1 && !run.boxes[0].buttons.empty() && run.boxes[0].ownerThreads == 2;
        if (seenWhole || run.boxes.size() > 1) break;
    }
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    const harness::BoxInfo &box = run.boxes[0];
    EXPECT_EQ(L"Installing", box.caption);
    EXPECT_EQ(kNoticeText, box.text);
    EXPECT_EQ(std::vector<int>({IDOK, IDCANCEL}), box.buttonIds);
    EXPECT_EQ(std::vector<std::wstring>({L"OK", L"Cancel"}), box.buttons);
    EXPECT_FALSE(box.hasIcon);
    EXPECT_FALSE(box.rescued) << "nobody may have to press a button";
}

TEST_F(Notice, IsGoneBeforeThePurgeShowsAnything)
{
    ASSERT_TRUE(CreateDirectoryW((harness::InfDir() + L"\\oem7.inf").c_str(), NULL));
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(2u, run.boxes.size());
    EXPECT_EQ(L"Installing", run.boxes[0].caption);
    EXPECT_TRUE(harness::NoticeEndedAsDesigned(run.boxes[0]));
    EXPECT_EQ(L"ReadFile Failed", run.boxes[1].text);
    EXPECT_EQ(0, run.boxes[1].othersOpen) << "the purge's box came up while the notice was open";
}

struct OtherBox {
    HANDLE ready;
    int result;
};

unsigned __stdcall ShowOtherInstallingBox(void *param)
{
    OtherBox *other = (OtherBox *)param;
    SetEvent(other->ready);
    other->result = MessageBoxW(NULL, L"The setup package's own window", L"Installing", MB_OKCANCEL);
    return 0;
}

TEST_F(Notice, LeavesAnotherProgramsInstallingBoxAlone)
{
    OtherBox other{CreateEventW(NULL, TRUE, FALSE, NULL), 0};
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, ShowOtherInstallingBox, &other, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    WaitForSingleObject(other.ready, 5000);
    HWND mine = NULL;
    for (int i = 0; i < 200 && mine == NULL; ++i, Sleep(10)) mine = FindWindowW(L"#32770", L"Installing");
    ASSERT_NE((HWND)NULL, mine) << "the suite's own box did not come up";

    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_TRUE(harness::NoticeEndedAsDesigned(run.boxes[0])) << "DriverPrep's own notice must still close by itself";
    EXPECT_TRUE(IsWindow(mine) && IsWindowVisible(mine)) << "DriverPrep pressed another program's box";

    PostMessageW(mine, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    EXPECT_EQ(IDCANCEL, other.result);
    CloseHandle(thread);
    CloseHandle(other.ready);
}

}  // namespace
