// The device presence check and the preparation sequence's exit status, against the stand-in
// registry.
#include "driverprep.h"
#include "hostwin.h"

#include <gtest/gtest.h>

int DriverPrepMain(int argc, char **argv, char **envp);

namespace {

const wchar_t kDeviceKey[] = L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402";
const wchar_t kFoundText[] =
    L"Found Brellan device. Please uninstall Brellan Device to install Brellan Flashwright Installer\n";

class DeviceCheckTest : public ::testing::Test {
protected:
    void SetUp() override { hostwin::Reset(); }
};

struct KeyCase {
    const char *name;
    bool keyExists;
    DWORD subkeys;
    DWORD granted;
    LSTATUS queryError;
    int expected;
};

// Every way the check can end without finding an instance: it goes on and shows nothing.
TEST_F(DeviceCheckTest, NoRecordedInstanceGoesOnSilently)
{
    const KeyCase cases[] = {
        {"key absent", false, 0, KEY_ALL_ACCESS, ERROR_SUCCESS, 1},
        {"key without subkeys", true, 0, KEY_ALL_ACCESS, ERROR_SUCCESS, 1},
        {"read access refused", true, 2, 0, ERROR_SUCCESS, 1},
        {"query fails, count untouched", true, 2, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED, 1},
    };
    for (const KeyCase &c : cases) {
        SCOPED_TRACE(c.name);
        hostwin::Reset();
        if (c.keyExists) hostwin::AddKey(kDeviceKey, c.subkeys, c.granted);
        hostwin::FailQueryInfo(c.queryError);
        EXPECT_EQ(c.expected, DeviceCheck());
        EXPECT_TRUE(hostwin::Boxes().empty());
        hostwin::RegisterStats reg = hostwin::Registry();
        EXPECT_EQ(reg.opens, reg.closes) << "an opened key must be closed";
        EXPECT_EQ(std::wstring(kDeviceKey), reg.lastPath);
    }
}

TEST_F(DeviceCheckTest, RecordedInstancesStopWithTheUninstallMessage)
{
    for (DWORD subkeys : {1u, 3u}) {
        SCOPED_TRACE(subkeys);
        hostwin::Reset();
        hostwin::AddKey(kDeviceKey, subkeys);
        EXPECT_EQ(0, DeviceCheck());
        std::vector<hostwin::BoxRecord> boxes = hostwin::Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(nullptr, boxes[0].owner);
        EXPECT_EQ(std::wstring(kFoundText), boxes[0].text);
        EXPECT_TRUE(boxes[0].hasCaption);
        EXPECT_EQ(L"Found Brellan device", boxes[0].caption);
        EXPECT_EQ((UINT)MB_OK, boxes[0].type);
        EXPECT_EQ(1, hostwin::Registry().closes);
    }
}

// Windows grants an elevated administrator only read access to the Enum tree; the device must
// still be seen there.
TEST_F(DeviceCheckTest, ReadOnlyKeyStillRevealsTheDevice)
{
    hostwin::AddKey(kDeviceKey, 1, KEY_READ);
    EXPECT_EQ(0, DeviceCheck());
    EXPECT_EQ((DWORD)KEY_READ, hostwin::Registry().lastAccess);
    EXPECT_EQ(1u, hostwin::Boxes().size());
}

TEST_F(DeviceCheckTest, KeyNameIsMatchedWithoutRegardToCase)
{
    hostwin::AddKey(L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_8817&PID_3402", 1);
    EXPECT_EQ(0, DeviceCheck());
}

// The exit status through the program's own entry, with and without arguments.
TEST_F(DeviceCheckTest, EntryReturnsThePreparationResultWhateverTheArguments)
{
    char program[] = "DriverPrep.exe";
    char flag[] = "/uninstall";
    char *withArgs[] = {program, flag, nullptr};
    char *bare[] = {program, nullptr};
    char *envp[] = {nullptr};
    for (bool device : {false, true}) {
        SCOPED_TRACE(device ? "device recorded" : "no device");
        for (char **argv : {bare, withArgs}) {
            hostwin::Reset();
            if (device) hostwin::AddKey(kDeviceKey, 1);
            int argc = argv == bare ? 1 : 2;
            EXPECT_EQ(device ? 0 : 1, DriverPrepMain(argc, argv, envp));
            std::vector<hostwin::BoxRecord> boxes = hostwin::Boxes();
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(device ? L"Found Brellan device" : L"Installing", boxes[0].caption);
        }
    }
}

}  // namespace
