// The stale package purge over a stand-in INF store, and the preparation sequence around it.
#include "driverprep.h"
#include "temp_store.h"

#include <filesystem>

namespace {

const wchar_t kDeviceKey[] = L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402";
const std::string kNamesDevice = "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Models]\r\n%Dev%=Install," + kDeviceId + "\r\n";
const std::string kOther = "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Models]\r\n%Dev%=Install,USB\\VID_1234&PID_5678\r\n";

class Purge : public TempStoreTest {};

TEST_F(Purge, StoreWithoutOemInfsIsLeftAlone)
{
    PutInf(L"usbport.inf", kNamesDevice);
    PurgeStaleInfs();
    EXPECT_TRUE(hostwin::FileEvents().empty());
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(Purge, MissingStoreOrWindowsFolderDoesNothing)
{
    std::filesystem::remove_all(hostwin::HostPath(L"C:\\Windows\\inf"));
    PurgeStaleInfs();
    hostwin::SetWindowsDirectory(L"");   // GetWindowsDirectoryW fails
    PurgeStaleInfs();
    EXPECT_TRUE(hostwin::FileEvents().empty());
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(Purge, MatchingCopyGoesWithItsTwinTwinFirst)
{
    PutInf(L"oem3.inf", kNamesDevice);
    PutInf(L"oem3.pnf", "compiled");
    PutInf(L"oem4.inf", kOther);
    PutInf(L"oem4.pnf", "compiled");
    PurgeStaleInfs();
    EXPECT_EQ(std::vector<std::wstring>({kInf + L"oem3.pnf", kInf + L"oem3.inf"}), Deletions());
    EXPECT_TRUE(Exists(kInf + L"oem4.inf"));
    EXPECT_TRUE(Exists(kInf + L"oem4.pnf"));
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(Purge, FailedDeletionsPassQuietly)
{
    PutInf(L"oem5.inf", kNamesDevice);   // no twin
    PutInf(L"oem6.inf", kNamesDevice);
    PutInf(L"oem6.pnf", "compiled");
    MakeReadOnly(kInf + L"oem6.inf");
    PurgeStaleInfs();
    EXPECT_FALSE(Exists(kInf + L"oem5.inf"));
    EXPECT_FALSE(Exists(kInf + L"oem6.pnf"));
    EXPECT_TRUE(Exists(kInf + L"oem6.inf"));
    EXPECT_TRUE(hostwin::Boxes().empty());
}

// Only names the search gives are opened. Names that carry ".inf" further in ("oem1.infx") come
// back through their short aliases; they have no twin that could be named safely.
TEST_F(Purge, OnlyOemInfNamesAreOpened)
{
    for (const wchar_t *name : {L"usbport.inf", L"xoem8.inf", L"oem12.inf.bak", L"oem9.pnf"}) PutInf(name, kNamesDevice);
    PutInf(L"oem1.infx", kNamesDevice);
    PutInf(L"oem1.pnf", "compiled");
    PurgeStaleInfs();
    for (const wchar_t *name : {L"usbport.inf", L"xoem8.inf", L"oem12.inf.bak", L"oem9.pnf"}) {
        EXPECT_EQ(0, OpensOf(kInf + name)) << ::testing::PrintToString(std::wstring(name));
        EXPECT_TRUE(Exists(kInf + name));
    }
    EXPECT_EQ(std::vector<std::wstring>({kInf + L"oem1.infx"}), Deletions());
    EXPECT_TRUE(Exists(kInf + L"oem1.pnf"));
}

TEST_F(Purge, UnreadableEntriesAreReportedAndTheScanGoesOn)
{
    MakeFolder(kInf + L"oem7.inf");
    PutInf(L"oem2.inf", kNamesDevice);
    hostwin::HoldOpen(kInf + L"oem2.inf");
    PutInf(L"oem8.inf", kNamesDevice);
    PurgeStaleInfs();
    std::vector<hostwin::BoxRecord> boxes = hostwin::Boxes();
    ASSERT_EQ(2u, boxes.size());
    for (const hostwin::BoxRecord &box : boxes) EXPECT_EQ(L"ReadFile Failed", box.text);
    EXPECT_TRUE(Exists(kInf + L"oem2.inf"));
    EXPECT_TRUE(Exists(kInf + L"oem7.inf"));
    EXPECT_EQ(std::vector<std::wstring>({kInf + L"oem8.inf"}), Deletions());
}

TEST_F(Purge, ManyMatchesAreAllDeletedWhileTheSearchIsOpen)
{
    for (int i = 0; i < 40; ++i) {
        std::wstring n = L"oem" + std::to_wstring(i);
        PutInf(n + L".inf", i % 3 == 0 ? kNamesDevice : kOther);
        PutInf(n + L".pnf", "compiled");
    }
    PurgeStaleInfs();
    for (int i = 0; i < 40; ++i) {
        std::wstring n = kInf + L"oem" + std::to_wstring(i);
        SCOPED_TRACE(i);
        EXPECT_EQ(i % 3 != 0, Exists(n + L".inf"));
        EXPECT_EQ(i % 3 != 0, Exists(n + L".pnf"));
    }
}

// Paths near and past MAX_PATH: an entry whose path would not fit is skipped unopened; one that
// just fits is handled. A Windows folder that leaves no room does nothing.
TEST_F(Purge, PathsAtTheLimitAreHandledOrSkippedNeverCut)
{
    // C:\ + four 58-character folders = 3 + 4 * 59 - 1 = 238 characters.
    std::wstring windows = L"C:";
    for (int i = 0; i < 4; ++i) windows += L"\\" + std::wstring(58, (wchar_t)(L'a' + i));
    ASSERT_EQ(238u, windows.size());
    std::wstring inf = windows + L"\\inf\\";   // 243 characters
    hostwin::SetWindowsDirectory(windows);
    std::wstring fits = L"oem" + std::wstring(9, L'1') + L".inf";       // 243 + 16 = 259: fits
    std::wstring tooLong = L"oem" + std::wstring(10, L'2') + L".inf";   // 260: does not
    Put(inf + fits, kNamesDevice);
    Put(inf + tooLong, kNamesDevice);
    PurgeStaleInfs();
    EXPECT_FALSE(Exists(inf + fits));
    EXPECT_TRUE(Exists(inf + tooLong));
    EXPECT_EQ(0, OpensOf(inf + tooLong));
    EXPECT_TRUE(hostwin::Boxes().empty());

    for (size_t cch : {250u, 254u, 255u, 259u, 260u, 300u}) {
        SCOPED_TRACE(cch);
        hostwin::SetWindowsDirectory(L"C:\\" + std::wstring(cch - 3, L'w'));
        PurgeStaleInfs();
        EXPECT_TRUE(hostwin::Boxes().empty());
    }
}

TEST_F(Purge, PreparationPurgesOnlyWhenNoDeviceIsRecorded)
{
    PutInf(L"oem3.inf", kNamesDevice);
    PutInf(L"oem3.pnf", "compiled");
    hostwin::AddKey(kDeviceKey, 1);
    EXPECT_EQ(0, RunPreparation());
    EXPECT_EQ(1u, hostwin::Boxes().size());
    for (const hostwin::FileEvent &e : hostwin::FileEvents()) ADD_FAILURE() << "touched " << ::testing::PrintToString(e.path);

    hostwin::Reset();
    hostwin::SetDriveRoot(root_);
    EXPECT_EQ(1, RunPreparation());
    EXPECT_FALSE(Exists(kInf + L"oem3.inf"));
    EXPECT_FALSE(Exists(kInf + L"oem3.pnf"));
    EXPECT_EQ(1, RunPreparation()) << "a second run finds nothing left and still goes on";
    EXPECT_EQ(2u, Deletions().size());
}

}  // namespace
