// The INF content match: what it finds, how much it reads, and how it fails.
#include "driverprep.h"
#include "temp_store.h"

namespace {

class InfMatch : public TempStoreTest {};

TEST_F(InfMatch, IdInFirstChunkIsFoundAfterOneRead)
{
    std::wstring path = PutInf(L"oem1.inf", "[Version]\r\n" + kDeviceId + "\r\n" + Filler(5000));
    EXPECT_EQ(1, InfMentionsDevice(path.c_str()));
    EXPECT_EQ(std::vector<DWORD>({1024}), ReadsOf(path));
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(InfMatch, IdInLaterChunkIsFoundAndReadingStopsThere)
{
    std::wstring path = PutInf(L"oem1.inf", Filler(2500) + kDeviceId + Filler(5000));
    EXPECT_EQ(1, InfMentionsDevice(path.c_str()));
    EXPECT_EQ(3u, ReadsOf(path).size());
}

// The ID begins k bytes before the end of the first chunk, for every k that splits it.
TEST_F(InfMatch, IdAcrossChunkBoundaryIsFound)
{
    for (size_t k = 1; k < kDeviceId.size(); ++k) {
        SCOPED_TRACE(k);
        hostwin::Reset();
        hostwin::SetDriveRoot(root_);
        std::wstring path = PutInf(L"oem1.inf", Filler(1024 - k) + kDeviceId + Filler(3000));
        EXPECT_EQ(1, InfMentionsDevice(path.c_str()));
        EXPECT_EQ(2u, ReadsOf(path).size()) << "the match completes in the second chunk";
    }
}

struct TextCase {
    const char *name;
    std::string bytes;
    int expected;
};

TEST_F(InfMatch, TextRules)
{
    std::string lower = "usb\\vid_8817&pid_3402";
    const TextCase cases[] = {
        {"lower case only", "[Version]\r\n" + lower + "\r\n", 0},
        {"zero byte before the ID", std::string("abc\0def ", 8) + kDeviceId, 1},
        {"zero byte inside the ID", "USB\\VID_8817" + std::string(1, '\0') + "&PID_3402", 0},
        {"interface suffix", kDeviceId + "&MI_00\r\n", 1},
        {"ID cut short at end of file", kDeviceId.substr(0, 20), 0},
        {"UTF-16LE with mark", Utf16("[Version]\r\n" + kDeviceId, false, true), 1},
        {"UTF-16BE with mark", Utf16("[Version]\r\n" + kDeviceId, true, true), 1},
        {"UTF-16LE without mark", Utf16("[Version]\r\n" + kDeviceId, false, false), 0},
        {"UTF-16LE across a boundary", Utf16(Filler(1000) + kDeviceId, false, true), 1},
        {"UTF-16BE in a later chunk", Utf16(Filler(3000) + kDeviceId, true, true), 1},
        {"UTF-16LE, lower case", Utf16(lower, false, true), 0},
        {"odd-length UTF-16 file", Utf16(kDeviceId, false, true) + "\x41", 1},
        {"empty file", "", 0},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring path = PutInf(L"oem2.inf", c.bytes);
        EXPECT_EQ(c.expected, InfMentionsDevice(path.c_str()));
    }
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(InfMatch, ExactMultipleOfChunkEndsWithEmptyRead)
{
    std::wstring path = PutInf(L"oem1.inf", Filler(2048));
    EXPECT_EQ(0, InfMentionsDevice(path.c_str()));
    EXPECT_EQ(std::vector<DWORD>({1024, 1024, 0}), ReadsOf(path));
}

::testing::AssertionResult ShowedReadFailed(const std::vector<hostwin::BoxRecord> &boxes)
{
    if (boxes.size() != 1) return ::testing::AssertionFailure() << boxes.size() << " boxes";
    if (boxes[0].text != L"ReadFile Failed" || boxes[0].hasCaption || boxes[0].type != MB_OK ||
        boxes[0].owner != nullptr)
        return ::testing::AssertionFailure() << "box " << ::testing::PrintToString(boxes[0].text);
    return ::testing::AssertionSuccess();
}

TEST_F(InfMatch, UnopenableFileIsReportedAndNotAMatch)
{
    PutInf(L"held.inf", kDeviceId);
    hostwin::HoldOpen(kInf + L"held.inf");
    MakeFolder(kInf + L"oem7.inf");
    for (const std::wstring &path : std::vector<std::wstring>{kInf + L"missing.inf", L"C:\\NoFolder\\oem1.inf", kInf + L"oem7.inf", kInf + L"held.inf"}) {
        SCOPED_TRACE(::testing::PrintToString(path));
        hostwin::ScriptBox({});
        size_t boxesBefore = hostwin::Boxes().size();
        EXPECT_EQ(0, InfMentionsDevice(path.c_str()));
        std::vector<hostwin::BoxRecord> boxes = hostwin::Boxes();
        EXPECT_TRUE(ShowedReadFailed({boxes.begin() + boxesBefore, boxes.end()}));
        EXPECT_TRUE(ReadsOf(hostwin::kInvalidHandlePath).empty()) << "an invalid handle is never read";
    }
}

TEST_F(InfMatch, ReadFailingMidFileIsReportedAndClosesTheFile)
{
    std::wstring path = PutInf(L"oem1.inf", Filler(3000) + kDeviceId);
    hostwin::FailReadAfter(path, 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InfMentionsDevice(path.c_str()));
    EXPECT_TRUE(ShowedReadFailed(hostwin::Boxes()));
    EXPECT_EQ(0, hostwin::OpenHandles());
}

}  // namespace
