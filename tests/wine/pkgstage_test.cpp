// The real PkgStage against Wine's own OEM INF copy service.
//
// Wine and Windows differ here: Wine's copy service keeps a source's own file name in the INF
// store when that name is free and only otherwise picks oemN.inf; Windows always picks oemN.inf.
// The fixture occupies "flashwright.inf" and "brellan.inf" in the store first, so that Wine names
// the copies the way Windows does.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

class PkgStage : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::RemoveInstallFolder();
        baseline_ = harness::SnapshotInfStore();
        tool_ = harness::SampleInf(L"flashwright.inf");
        device_ = harness::SampleInf(L"brellan.inf");
        ASSERT_FALSE(tool_.empty());
        ASSERT_FALSE(device_.empty());
        const std::string other = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; occupies the name\r\n";
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\flashwright.inf", other));
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\brellan.inf", other + "; 2\r\n"));
        before_ = harness::SnapshotInfStore();
    }
    void TearDown() override
    {
        harness::RemoveInstallFolder();
        harness::RestoreInfStore(baseline_);
    }

    // The OEM copies added since SetUp whose bytes equal `bytes`.
    int CopiesOf(const std::string &bytes)
    {
        int copies = 0;
        for (const std::wstring &name : harness::AddedFiles(before_, harness::SnapshotInfStore())) {
            std::string got;
            if (name.compare(0, 3, L"oem") == 0 && name.size() > 4 && name.substr(name.size() - 4) == L".inf" &&
                harness::ReadFileBytes(harness::InfDir() + L"\\" + name, &got) && got == bytes) {
                EXPECT_TRUE(harness::FileExists(harness::InfDir() + L"\\" + name.substr(0, name.size() - 4) + L".pnf"));
                ++copies;
            }
        }
        return copies;
    }

    ::testing::AssertionResult ShowedOnlyTheRefusal(const harness::RunResult &run, const wchar_t *code)
    {
        if (run.timedOut) return ::testing::AssertionFailure() << "PkgStage hung";
        if (run.exitCode != 0) return ::testing::AssertionFailure() << "exit status " << run.exitCode;
        if (run.boxes.size() != 1) return ::testing::AssertionFailure() << run.boxes.size() << " boxes";
        const harness::BoxInfo &box = run.boxes[0];
        std::wstring expected = std::wstring(L"SetupCopyOEMInf() Failed with error ") + code;
        if (box.text != expected) return ::testing::AssertionFailure() << "text " << ::testing::PrintToString(box.text);
        if (box.caption != L"Error") return ::testing::AssertionFailure() << "caption " << ::testing::PrintToString(box.caption);
        if (box.buttons.size() != 1 || box.buttonIds[0] != IDOK) return ::testing::AssertionFailure() << "buttons";
        return ::testing::AssertionSuccess();
    }

    harness::StoreSnapshot baseline_, before_;
    std::string tool_, device_;
};

TEST_F(PkgStage, BothInfsBecomeOemCopiesWithTheSameBytes)
{
    ASSERT_TRUE(harness::PlaceSamplePackages());
    harness::RunResult run = harness::Run(L"PkgStage.exe", L"/ignored argument", harness::PressOk);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(1, CopiesOf(tool_));
    EXPECT_EQ(1, CopiesOf(device_));
    EXPECT_EQ(4u, harness::AddedFiles(before_, harness::SnapshotInfStore()).size()) << "two INFs and two PNFs";
}

TEST_F(PkgStage, MissingInstallFolderIsReported)
{
    harness::RunResult run = harness::Run(L"PkgStage.exe", L"", harness::PressOk);
    EXPECT_TRUE(ShowedOnlyTheRefusal(run, L"0x3"));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

TEST_F(PkgStage, MissingToolInfStopsBeforeTheDeviceInf)
{
    ASSERT_TRUE(harness::PlaceInstallFile(L"brellan.inf", device_));
    harness::RunResult run = harness::Run(L"PkgStage.exe", L"", harness::PressOk);
    EXPECT_TRUE(ShowedOnlyTheRefusal(run, L"0x2"));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

TEST_F(PkgStage, RefusedDeviceInfLeavesTheToolInfStaged)
{
    ASSERT_TRUE(harness::PlaceSamplePackages());
    ASSERT_TRUE(harness::PlaceInstallFile(L"brellan.inf", "[Version]\r\nClass=USBDevice\r\n"));   // no Signature
    harness::RunResult run = harness::Run(L"PkgStage.exe", L"", harness::PressOk);
    EXPECT_TRUE(ShowedOnlyTheRefusal(run, L"0xe0000100"));
    EXPECT_EQ(1, CopiesOf(tool_));
}

}  // namespace
