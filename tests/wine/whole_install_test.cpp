// A whole installation, twice, as the setup package plays it: DriverPrep, then PkgStage, on the
// real copy service. The second DriverPrep must remove the device's staged copy and its twin and
// keep the tool's, whose text does not name the device.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

class WholeInstall : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::SetDeviceInstances(-1);
        harness::RemoveInstallFolder();
        baseline_ = harness::SnapshotInfStore();
        // Windows names every copy oemN.inf; Wine does so only when the source's own name is
        // taken in the store. Take both names so Wine behaves like Windows here.
        const std::string placeholder = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; placeholder\r\n";
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\flashwright.inf", placeholder));
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\brellan.inf", placeholder + ";\r\n"));
        tool_ = harness::SampleInf(L"flashwright.inf");
        device_ = harness::SampleInf(L"brellan.inf");
        ASSERT_TRUE(harness::PlaceInstallFile(L"flashwright.inf", tool_));
        ASSERT_TRUE(harness::PlaceInstallFile(L"brellan.inf", device_));
    }
    void TearDown() override
    {
        harness::RemoveInstallFolder();
        harness::RestoreInfStore(baseline_);
    }

    // The OEM copies in the store whose bytes equal `bytes`.
    std::vector<std::wstring> CopiesOf(const std::string &bytes)
    {
        std::vector<std::wstring> copies;
        for (const auto &entry : harness::SnapshotInfStore()) {
            const std::wstring &name = entry.first;
            std::string got;
            if (name.compare(0, 3, L"oem") == 0 && name.size() > 4 && name.substr(name.size() - 4) == L".inf" &&
                harness::ReadFileBytes(harness::InfDir() + L"\\" + name, &got) && got == bytes)
                copies.push_back(name);
        }
        return copies;
    }

    void Play(const wchar_t *exe)
    {
        harness::RunResult run = harness::Run(exe, L"", harness::PressOkLetNoticeClose);
        EXPECT_FALSE(run.timedOut) << ::testing::PrintToString(std::wstring(exe));
        EXPECT_EQ(1u, run.exitCode) << ::testing::PrintToString(std::wstring(exe));
        for (const harness::BoxInfo &box : run.boxes) {
            if (box.caption == harness::kNoticeTitle) EXPECT_TRUE(harness::NoticeEndedAsDesigned(box)) << "the notice did not close by itself";
            else ADD_FAILURE() << "unexpected box " << ::testing::PrintToString(box.text);
        }
    }

    harness::StoreSnapshot baseline_;
    std::string tool_, device_;
};

TEST_F(WholeInstall, SecondInstallationReplacesTheDevicesCopy)
{
    Play(L"DriverPrep.exe");
    Play(L"PkgStage.exe");
    std::vector<std::wstring> tool = CopiesOf(tool_);
    std::vector<std::wstring> device = CopiesOf(device_);
    ASSERT_EQ(1u, tool.size());
    ASSERT_EQ(1u, device.size());
    std::wstring devicePnf = harness::InfDir() + L"\\" + device[0].substr(0, device[0].size() - 4) + L".pnf";
    EXPECT_TRUE(harness::FileExists(devicePnf));

    Play(L"DriverPrep.exe");
    EXPECT_EQ(tool, CopiesOf(tool_)) << "the tool's copy does not name the device and stays";
    EXPECT_TRUE(CopiesOf(device_).empty()) << "the device's copy is purged";
    EXPECT_FALSE(harness::FileExists(devicePnf)) << "with its twin";

    Play(L"PkgStage.exe");
    EXPECT_EQ(tool, CopiesOf(tool_));
    EXPECT_EQ(1u, CopiesOf(device_).size());
}

// The setup package plays the same installation, silently (/S), from a machine where nothing
// of the product has been placed yet. In the wine32 tier it is the 32-bit installer around the
// 32-bit programs: there an install folder under "Program Files (x86)" would fail with 4.
class Installer : public WholeInstall {
protected:
    void SetUp() override
    {
        WholeInstall::SetUp();
        harness::RemoveInstallFolder();
        before_ = harness::SnapshotInfStore();
    }
    void TearDown() override
    {
        harness::SetDeviceInstances(-1);
        WholeInstall::TearDown();
    }

    harness::RunResult Install()
    {
        harness::RunResult run = harness::Run(L"BrellanFlashwrightSetup.exe", L"/S", harness::PressOkLetNoticeClose, 60000);
        EXPECT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut);
        return run;
    }

    harness::StoreSnapshot before_;
};

TEST_F(Installer, CleanMachineEndsWithZeroAndBothCopiesStaged)
{
    harness::RunResult run = Install();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(harness::OtherThanNotice(run.boxes).empty());
    EXPECT_EQ(1u, CopiesOf(tool_).size());
    EXPECT_EQ(1u, CopiesOf(device_).size());
    std::string placed;
    EXPECT_TRUE(harness::ReadFileBytes(std::wstring(harness::kInstallFolder) + L"\\brellan.inf", &placed));
    EXPECT_EQ(device_, placed);
}

TEST_F(Installer, RecordedDeviceEndsWithThreeAndNothingPlaced)
{
    harness::SetDeviceInstances(1);
    harness::RunResult run = Install();
    EXPECT_EQ(3u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(L"Found Brellan device", run.boxes[0].caption);
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

TEST_F(Installer, StaleCopyOfAnEarlierVersionIsPurged)
{
    const std::wstring stale = harness::InfDir() + L"\\oem90";
    ASSERT_TRUE(harness::WriteFileBytes(stale + L".inf", device_ + "; an earlier version\r\n"));
    ASSERT_TRUE(harness::WriteFileBytes(stale + L".pnf", "precompiled"));
    harness::RunResult run = Install();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_FALSE(harness::FileExists(stale + L".inf"));
    EXPECT_FALSE(harness::FileExists(stale + L".pnf"));
    EXPECT_EQ(1u, CopiesOf(tool_).size());
    EXPECT_EQ(1u, CopiesOf(device_).size());
}

}  // namespace
