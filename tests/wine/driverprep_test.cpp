// The real DriverPrep against the registry and INF store of a throwaway machine.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kFoundText[] =
    L"Found Brellan device. Please uninstall Brellan Device to install Brellan Flashwright Installer\n";

class DeviceCheck : public ::testing::Test {
protected:
    void SetUp() override { harness::SetDeviceInstances(-1); }
    void TearDown() override { harness::SetDeviceInstances(-1); }
};

::testing::AssertionResult IsFoundBox(const harness::BoxInfo &box)
{
    if (box.caption != L"Found Brellan device")
        return ::testing::AssertionFailure() << "caption: " << ::testing::PrintToString(box.caption);
    if (box.text != kFoundText)
        return ::testing::AssertionFailure() << "text: " << ::testing::PrintToString(box.text);
    if (box.buttons.size() != 1 || box.buttonIds[0] != IDOK)
        return ::testing::AssertionFailure() << box.buttons.size() << " buttons, expected OK alone";
    if (box.hasIcon) return ::testing::AssertionFailure() << "the box shows an icon";
    return ::testing::AssertionSuccess();
}

TEST(DeviceCheckGuard, SuiteRunsOnlyInTheSandbox)
{
    std::wstring why;
    EXPECT_TRUE(harness::InSandbox(&why)) << ::testing::PrintToString(why);
}

// The tier says which build it drives (BRELLAN_EXPECT_BITS 32 or 64): the programs must be that
// build, and run as such.
TEST(DeviceCheckGuard, ProgramsAreTheBuildTheTierDrives)
{
    wchar_t bits[8];
    DWORD cch = GetEnvironmentVariableW(L"BRELLAN_EXPECT_BITS", bits, 8);
    if (cch == 0 || cch >= 8) GTEST_SKIP() << "BRELLAN_EXPECT_BITS is not set";
    bool expect32 = wcscmp(bits, L"32") == 0;
    for (const wchar_t *exe : {L"DriverPrep.exe", L"PkgStage.exe"})
        EXPECT_EQ(expect32 ? 0x14cu : 0x8664u, harness::ProgramMachine(harness::ProgramPath(exe)))
            << ::testing::PrintToString(std::wstring(exe));
    harness::SetDeviceInstances(-1);
    harness::RunResult run = harness::Run(L"PkgStage.exe", L"", harness::PressOk);
    EXPECT_EQ(expect32, run.wow64) << "the program did not run as a " << (expect32 ? "32" : "64") << "-bit process";
}

TEST_F(DeviceCheck, NoDeviceKeyEndsWithOneAndNoBox)
{
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    for (const harness::BoxInfo &box : run.boxes) EXPECT_NE(L"Found Brellan device", box.caption);
}

TEST_F(DeviceCheck, KeyWithoutInstancesEndsWithOne)
{
    harness::SetDeviceInstances(0);
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    for (const harness::BoxInfo &box : run.boxes) EXPECT_NE(L"Found Brellan device", box.caption);
}

// One box, read back from the screen exactly; after OK the run stops with 0 and the INF store is
// untouched. Arguments change nothing.
TEST_F(DeviceCheck, RecordedInstanceStopsWithTheUninstallBox)
{
    for (int instances : {1, 3}) {
        for (const wchar_t *args : {L"", L"/q extra arguments"}) {
            SCOPED_TRACE(::testing::Message() << instances << " instance(s), arguments \"" << args << "\"");
            harness::SetDeviceInstances(instances);
            harness::StoreSnapshot before = harness::SnapshotInfStore();
            harness::RunResult run = harness::Run(L"DriverPrep.exe", args, harness::PressOkLetNoticeClose);
            EXPECT_FALSE(run.timedOut);
            EXPECT_EQ(0u, run.exitCode);
            ASSERT_EQ(1u, run.boxes.size());
            EXPECT_TRUE(IsFoundBox(run.boxes[0]));
            EXPECT_EQ(L"", harness::DescribeChanges(before, harness::SnapshotInfStore()));
        }
    }
}

// Windows lets an elevated administrator read the Enum tree but not take full access to it; the
// device must still be found there.
TEST_F(DeviceCheck, ReadOnlyKeyStillStopsTheInstall)
{
    harness::SetDeviceInstances(1);
    ASSERT_TRUE(harness::SetDeviceKeyDacl(L"D:P(A;;0x60019;;;WD)"));   // KEY_READ | WRITE_DAC
    HKEY key = NULL;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, harness::kDeviceKey, 0, KEY_ALL_ACCESS, &key));
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_TRUE(IsFoundBox(run.boxes[0]));
}

TEST_F(DeviceCheck, UnreadableKeyCountsAsNoDevice)
{
    harness::SetDeviceInstances(1);
    ASSERT_TRUE(harness::SetDeviceKeyDacl(L"D:P(A;;0x40000;;;WD)"));   // WRITE_DAC alone
    HKEY key = NULL;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, harness::kDeviceKey, 0, KEY_READ, &key));
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(1u, run.exitCode);
    for (const harness::BoxInfo &box : run.boxes) EXPECT_NE(L"Found Brellan device", box.caption);
}

}  // namespace
