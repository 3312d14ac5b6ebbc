// The setup watch's rules: its command line, how it quotes a box for the log, and when it answers.
#include "setup_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Parses `args` as the watch's command line. They are kept until the next call: the options
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

TEST(WatchOptions, EveryOptionIsReadAndTheProgramComesLast)
{
    WatchOptions options;
    ASSERT_TRUE(Parse({L"/log=C:\\a b\\setup.log", L"/answer-after=60", L"/limit=300", L"/closes-itself=Installing",
                       L"C:\\t\\DriverPrep.exe"},
                      &options));
    EXPECT_STREQ(L"C:\\a b\\setup.log", options.logPath);
    EXPECT_EQ(60000ul, options.answerAfterMs);
    EXPECT_EQ(300000ul, options.limitMs);
    EXPECT_STREQ(L"Installing", options.selfClosingCaption);
    EXPECT_STREQ(L"C:\\t\\DriverPrep.exe", options.program);

    ASSERT_TRUE(Parse({L"PkgStage.exe"}, &options));
    EXPECT_EQ(NULL, options.logPath);
    EXPECT_EQ(kWatchNever, options.answerAfterMs) << "without /answer-after nothing is answered";
    EXPECT_EQ(kWatchNever, options.limitMs);
    EXPECT_EQ(NULL, options.selfClosingCaption);
}

TEST(WatchOptions, MalformedCommandLinesAreRefused)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"/limit=5"},   // no program
        {L"/log=", L"p.exe"},
        {L"/answer-after=", L"p.exe"},
        {L"/answer-after=1a", L"p.exe"},
        {L"/answer-after=-1", L"p.exe"},
        {L"/limit=86401", L"p.exe"},
        {L"/limit=99999999999999999999", L"p.exe"},
        {L"/LIMIT=5", L"p.exe"},
        {L"/answer-after=5", L"/limit=5"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        WatchOptions options;
        EXPECT_FALSE(Parse(args, &options));
    }
    WatchOptions options;
    EXPECT_TRUE(Parse({L"/answer-after=0", L"/limit=86400", L"p.exe"}, &options));
    EXPECT_EQ(0ul, options.answerAfterMs);
    EXPECT_EQ(86400000ul, options.limitMs);
}

TEST(QuoteForLog, EveryTextComesOutOnOneLineExactly)
{
    const struct {
        const wchar_t *text;
        const wchar_t *quoted;
    } cases[] = {
        {L"", L"\"\""},
        {L"ReadFile Failed", L"\"ReadFile Failed\""},
        {L"Found Brellan device.\n", L"\"Found Brellan device.\\n\""},
        {L"a\"b\\c\r\td", L"\"a\\\"b\\\\c\\r\\td\""},
        {L"Schlie\u00dfen \x01\x7f", L"\"Schlie\\u00dfen \\u0001\\u007f\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.text)));
        wchar_t out[64];
        EXPECT_EQ(1, QuoteForLog(c.text, out, 64));
        EXPECT_STREQ(c.quoted, out);
    }
}

TEST(QuoteForLog, TooSmallABufferCutsAfterAWholeCharacter)
{
    wchar_t out[8];
    EXPECT_EQ(0, QuoteForLog(L"abcdefgh", out, 8));
    EXPECT_STREQ(L"\"abcde", out);
    EXPECT_EQ(0, QuoteForLog(L"ab\u00e9", out, 8));
    EXPECT_STREQ(L"\"ab", out) << "an escape is never cut in half";
    EXPECT_EQ(0, QuoteForLog(L"a", out, 2));
    EXPECT_STREQ(L"", out);
}

TEST(AnswerDelay, NobodyAtTheScreenMeansTwoSecondsAtMost)
{
    const struct {
        unsigned long requestedMs;
        int visible;
        unsigned long expectedMs;
    } cases[] = {
        {60000, 1, 60000}, {60000, 0, 2000}, {1000, 0, 1000}, {0, 0, 0}, {kWatchNever, 0, kWatchNever},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.requestedMs << " ms, visible " << c.visible);
        EXPECT_EQ(c.expectedMs, AnswerDelayMs(c.requestedMs, c.visible));
    }
}

}  // namespace
