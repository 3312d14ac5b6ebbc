// The real DriverPrep purging a real INF store: what is deleted, what stays, and every box.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::string kDeviceId = "USB\\VID_8817&PID_3402";

std::string NamesDevice() { return "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Models]\r\n%Dev%=Install," + kDeviceId + "\r\n"; }

std::string Utf16Le(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class Purge : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::SetDeviceInstances(-1);
        baseline_ = harness::SnapshotInfStore();
    }
    void TearDown() override { harness::RestoreInfStore(baseline_); }

    std::wstring Inf(const std::wstring &name) { return harness::InfDir() + L"\\" + name; }
    void Put(const std::wstring &name, const std::string &bytes) { ASSERT_TRUE(harness::WriteFileBytes(Inf(name), bytes)); }

    // Files of the store that the run removed, sorted.
    std::vector<std::wstring> Removed(const harness::StoreSnapshot &before)
    {
        harness::StoreSnapshot after = harness::SnapshotInfStore();
        std::vector<std::wstring> removed;
        for (const auto &b : before)
            if (!after.count(b.first)) removed.push_back(b.first);
        return removed;
    }

    harness::StoreSnapshot baseline_;
};

bool IsReadFailedBox(const harness::BoxInfo &box)
{
    return box.text == L"ReadFile Failed" && box.caption == L"Error" && box.buttons.size() == 1 && box.buttonIds[0] == IDOK;
}

// The store a machine might hold: the device's earlier packages in several forms, other vendors'
// copies, Wine's own INF files copied under OEM names, a system INF that names the device, and
// entries that cannot be read.
TEST_F(Purge, DeletesExactlyTheDevicesCopiesAndTheirTwins)
{
    Put(L"oem3.inf", NamesDevice());
    Put(L"oem3.pnf", "compiled");
    Put(L"oem4.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n%Dev%=Install,USB\\VID_1234&PID_0001\r\n");
    Put(L"oem4.pnf", "compiled");
    Put(L"oem5.inf", NamesDevice());                                  // no twin
    Put(L"oem6.inf", NamesDevice());
    Put(L"oem6.pnf", "compiled");
    ASSERT_TRUE(SetFileAttributesW(Inf(L"oem6.inf").c_str(), FILE_ATTRIBUTE_READONLY));
    Put(L"oem20.inf", Utf16Le("[Version]\r\n" + NamesDevice()));      // UTF-16 INF
    Put(L"oem20.pnf", "compiled");
    Put(L"oem21.inf", std::string(1024 - 9, ';') + kDeviceId);        // across the first chunk boundary
    Put(L"oem22.inf", std::string(2048, ';'));                         // exact multiple, no ID
    Put(L"brellanusb.inf", NamesDevice());                            // not an OEM name: never opened
    ASSERT_TRUE(CreateDirectoryW(Inf(L"oem7.inf").c_str(), NULL));    // a folder with an OEM name
    int copied = 0;
    for (const wchar_t *own : {L"wineusb.inf", L"winebus.inf", L"winehid.inf", L"input.inf"}) {
        std::string bytes;
        if (!harness::ReadFileBytes(Inf(own), &bytes)) continue;
        Put(L"oem" + std::to_wstring(30 + copied) + L".inf", bytes);
        ++copied;
    }
    ASSERT_GT(copied, 0) << "Wine's own INF files are missing from the store";

    harness::StoreSnapshot before = harness::SnapshotInfStore();
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(1u, run.exitCode);
    std::vector<std::wstring> expected = {L"oem20.inf", L"oem20.pnf", L"oem21.inf", L"oem3.inf", L"oem3.pnf",
                                          L"oem5.inf",  L"oem6.pnf"};
    EXPECT_EQ(expected, Removed(before));
    EXPECT_TRUE(harness::FileExists(Inf(L"oem6.inf"))) << "a read-only copy stays";
    std::vector<harness::BoxInfo> boxes = harness::OtherThanNotice(run.boxes);
    ASSERT_EQ(1u, boxes.size()) << "only the folder oem7.inf cannot be read";
    EXPECT_TRUE(IsReadFailedBox(boxes[0]));

    // A second run finds nothing more to remove.
    before = harness::SnapshotInfStore();
    run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Removed(before).empty());
    EXPECT_EQ(1u, harness::OtherThanNotice(run.boxes).size());
}

TEST_F(Purge, FileHeldWithoutSharingIsReportedAndTheScanGoesOn)
{
    Put(L"oem2.inf", NamesDevice());
    Put(L"oem9.inf", NamesDevice());
    HANDLE held = CreateFileW(Inf(L"oem2.inf").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    harness::StoreSnapshot before = harness::SnapshotInfStore();
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    CloseHandle(held);
    EXPECT_EQ(1u, run.exitCode);
    std::vector<harness::BoxInfo> boxes = harness::OtherThanNotice(run.boxes);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_TRUE(IsReadFailedBox(boxes[0]));
    EXPECT_EQ(std::vector<std::wstring>({L"oem9.inf"}), Removed(before));
}

TEST_F(Purge, StoreWithoutOemCopiesIsLeftAlone)
{
    harness::RestoreInfStore(baseline_);
    harness::StoreSnapshot before = harness::SnapshotInfStore();
    harness::RunResult run = harness::Run(L"DriverPrep.exe", L"", harness::PressOkLetNoticeClose);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(harness::OtherThanNotice(run.boxes).empty());
    EXPECT_EQ(L"", harness::DescribeChanges(before, harness::SnapshotInfStore()));
}

}  // namespace
