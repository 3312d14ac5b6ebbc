// PkgStage against the stand-in copy service: the order and arguments of the copies, and the
// refusal message.
#include "hostwin.h"
#include "pkgstage.h"

#include <setupapi.h>

#include <gtest/gtest.h>

int PkgStageMain(int argc, char **argv, char **envp);

namespace {

const wchar_t kToolInf[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Installer\\flashwright.inf";
const wchar_t kDeviceInf[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Installer\\brellan.inf";

class StagePackagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostwin::Reset();
        SetLastError(0xdeadbeef);   // a stale error must never reach the message
    }
};

::testing::AssertionResult IsPlainCopy(const hostwin::CopyCall &call, const wchar_t *source)
{
    if (call.source != source) return ::testing::AssertionFailure() << "source " << ::testing::PrintToString(call.source);
    if (!call.mediaLocationNull || call.mediaType != SPOST_PATH || call.copyStyle != 0)
        return ::testing::AssertionFailure() << "media " << call.mediaType << ", style " << call.copyStyle;
    if (!call.destinationNull || call.cchDestination != 0 || !call.cchRequiredNull || !call.componentNull)
        return ::testing::AssertionFailure() << "asked for the destination name";
    return ::testing::AssertionSuccess();
}

TEST_F(StagePackagesTest, BothAcceptedStagesToolThenDeviceSilently)
{
    EXPECT_EQ(1, StagePackages());
    std::vector<hostwin::CopyCall> calls = hostwin::CopyCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(IsPlainCopy(calls[0], kToolInf));
    EXPECT_TRUE(IsPlainCopy(calls[1], kDeviceInf));
    EXPECT_TRUE(hostwin::Boxes().empty());
}

TEST_F(StagePackagesTest, RefusalShowsTheCodeAndStops)
{
    struct Case {
        std::vector<DWORD> verdicts;
        size_t callsMade;
        const wchar_t *message;
    } cases[] = {
        {{ERROR_FILE_NOT_FOUND}, 1, L"SetupCopyOEMInf() Failed with error 0x2"},
        {{ERROR_PATH_NOT_FOUND}, 1, L"SetupCopyOEMInf() Failed with error 0x3"},
        {{0, ERROR_ACCESS_DENIED}, 2, L"SetupCopyOEMInf() Failed with error 0x5"},
        {{0, 0xe0000100u}, 2, L"SetupCopyOEMInf() Failed with error 0xe0000100"},
        {{0xffffffffu}, 1, L"SetupCopyOEMInf() Failed with error 0xffffffff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.message)));
        hostwin::Reset();
        hostwin::ScriptCopy(c.verdicts);
        EXPECT_EQ(0, StagePackages());
        EXPECT_EQ(c.callsMade, hostwin::CopyCalls().size()) << "nothing is attempted after a refusal";
        std::vector<hostwin::BoxRecord> boxes = hostwin::Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(c.message, boxes[0].text);
        EXPECT_EQ(nullptr, boxes[0].owner);
        EXPECT_FALSE(boxes[0].hasCaption) << "the platform's default caption is expected";
        EXPECT_EQ((UINT)MB_OK, boxes[0].type);
    }
}

TEST_F(StagePackagesTest, EntryIgnoresItsArguments)
{
    char program[] = "PkgStage.exe";
    char flag[] = "/force";
    char *withArgs[] = {program, flag, nullptr};
    char *bare[] = {program, nullptr};
    char *envp[] = {nullptr};
    EXPECT_EQ(1, PkgStageMain(2, withArgs, envp));
    EXPECT_EQ(1, PkgStageMain(1, bare, envp));
    EXPECT_EQ(4u, hostwin::CopyCalls().size());
    hostwin::ScriptCopy({ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(0, PkgStageMain(2, withArgs, envp));
}

}  // namespace
