// The setup watch's rules: its command line, how it quotes a box for the log, and when it answers.
#include "setup_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Parses `args` as the watch's command line; they live until the next call, as the options
// point into them.
bool Parse(const std::vector<std::wstring> &args, WatchOptions *options)
{
    static std::vector<std::wstring> kept;
    kept = args;
    kept.insert(kept.begin(), L"SetupWatch.exe");
    std::vector<wchar_t *> argv;
    for (std::wstring &arg : kept) argv.push_back(&arg[0]);
    return ParseWatchOptions((int)argv.size(), argv.data(), options) == 1;
}

TEST(WatchOptions, EveryOptionIsReadAndNothingIsAnsweredUnasked)
{
    WatchOptions o;
    ASSERT_TRUE(Parse({L"/log=C:\\a b\\x.log", L"/answer-after=60", L"/limit=86400", L"/closes-itself=Installing",
                       L"/box-before=0", L"/verdict=C:\\p\\SetupWatch.verdict", L"C:\\t\\DriverPrep.exe"}, &o));
    EXPECT_EQ(0ul, o.boxBeforeCode);
    EXPECT_STREQ(L"C:\\p\\SetupWatch.verdict", o.verdictPath);
    EXPECT_STREQ(L"C:\\a b\\x.log", o.logPath);
    EXPECT_EQ(60000ul, o.answerAfterMs);
    EXPECT_EQ(86400000ul, o.limitMs);
    EXPECT_STREQ(L"Installing", o.selfClosingCaption);
    EXPECT_STREQ(L"C:\\t\\DriverPrep.exe", o.program);
    ASSERT_TRUE(Parse({L"PkgStage.exe"}, &o));
    EXPECT_TRUE(o.logPath == NULL && o.selfClosingCaption == NULL && o.verdictPath == NULL);
    EXPECT_TRUE(o.answerAfterMs == kWatchNever && o.limitMs == kWatchNever && o.boxBeforeCode == kWatchNever);
}

TEST(WatchOptions, MalformedCommandLinesAreRefused)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {}, {L"/limit=5"}, {L"/answer-after=5", L"/limit=5"}, {L"/log=", L"p.exe"}, {L"/answer-after=", L"p.exe"},
        {L"/answer-after=1a", L"p.exe"}, {L"/answer-after=-1", L"p.exe"}, {L"/limit=86401", L"p.exe"},
        {L"/limit=99999999999999999999", L"p.exe"}, {L"/LIMIT=5", L"p.exe"}, {L"/box-before=", L"p.exe"},
        {L"/box-before=256", L"p.exe"}, {L"/box-before=x", L"p.exe"}, {L"/verdict=", L"p.exe"},
    };
    for (const auto &args : cases) {
        WatchOptions o;
        EXPECT_FALSE(Parse(args, &o)) << ::testing::PrintToString(args);
    }
}

TEST(QuoteForLog, EveryTextComesOutOnOneLineExactly)
{
    const wchar_t *const cases[][2] = {
        {L"", L"\"\""},
        {L"Found Brellan device.\n", L"\"Found Brellan device.\\n\""},
        {L"a\"b\\c\r\td", L"\"a\\\"b\\\\c\\r\\td\""},
        {L"Schlie\u00dfen \x01\x7f", L"\"Schlie\\u00dfen \\u0001\\u007f\""},
    };
    wchar_t out[64];
    for (const auto &c : cases) {
        EXPECT_EQ(1, QuoteForLog(c[0], out, 64));
        EXPECT_STREQ(c[1], out);
    }
    EXPECT_EQ(0, QuoteForLog(L"ab\u00e9", out, 8));
    EXPECT_STREQ(L"\"ab", out) << "too small a buffer cuts after a whole character, never within an escape";
}

// Where nobody can see the screen nobody else can answer: the watch answers and bounds there
// whether it was asked to or not. On a screen a person may see, only what was asked for.
TEST(AnswerDelay, NobodyAtTheScreenMeansTwoSecondsAtMostAndALimit)
{
    EXPECT_EQ(60000ul, AnswerDelayMs(60000, 1));
    EXPECT_EQ(2000ul, AnswerDelayMs(60000, 0));
    EXPECT_EQ(1000ul, AnswerDelayMs(1000, 0));
    EXPECT_EQ(kWatchNever, AnswerDelayMs(kWatchNever, 1));
    EXPECT_EQ(2000ul, AnswerDelayMs(kWatchNever, 0));
    EXPECT_EQ(kWatchNever, LimitMs(kWatchNever, 1));
    EXPECT_EQ(kUnseenLimitSeconds * 1000, LimitMs(kWatchNever, 0));
    EXPECT_EQ(5000ul, LimitMs(5000, 0));
}

TEST(ChooseButton, OnlyAButtonTheBoxHasIsPressed)
{
    const int ok = 1, cancel = 2, yes = 6, no = 7;
    const struct {
        const char *name;
        std::vector<BoxButton> buttons;
        int defaultId;
        int expected;   // index, -1 none
    } cases[] = {
        {"no buttons", {}, ok, -1},
        {"the default", {{yes, 1}, {no, 1}}, no, 1},
        {"a disabled default: OK", {{ok, 1}, {cancel, 0}}, cancel, 0},
        {"a default the box lacks: Cancel", {{yes, 0}, {cancel, 1}}, ok, 1},
        {"neither OK nor Cancel: the first enabled", {{yes, 0}, {no, 1}}, 0, 1},
        {"all disabled", {{ok, 0}}, ok, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, ChooseButton(c.buttons.data(), (int)c.buttons.size(), c.defaultId)) << c.name;
    }
}

}  // namespace
