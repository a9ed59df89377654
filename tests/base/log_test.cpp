#include "base/log.h"

#include <gtest/gtest.h>

#include "base/log_rate_limit.h"

namespace {

TEST(LogLine, IsDressedForWhereItGoes)
{
    const LogDecoration plain;
    const LogDecoration terminal{false, "12:34:56.789"};
    const LogDecoration journal{true, ""};
    struct Case {
        LogLevel level;
        LogDecoration decoration;
        const char* line;
    };
    const Case cases[] = {
        {LogLevel::Info, plain, "tonvik: listening\n"},
        {LogLevel::Error, plain, "tonvik: error: listening\n"},
        {LogLevel::Warning, plain, "tonvik: warning: listening\n"},
        {LogLevel::Debug, plain, "tonvik: listening\n"},
        {LogLevel::Warning, terminal, "12:34:56.789 tonvik: warning: listening\n"},
        // journald stamps and names the line itself and reads its priority from "<N>".
        {LogLevel::Error, journal, "<3>error: listening\n"},
        {LogLevel::Warning, journal, "<4>warning: listening\n"},
        {LogLevel::Info, journal, "<6>listening\n"},
        {LogLevel::Debug, journal, "<7>listening\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatLogLine(c.level, "listening", c.decoration), c.line);
    }
}

TEST(LogRateLimit, PassesOneLineAMinutePerCauseAndCountsTheRest)
{
    LogRateLimit limit;
    EXPECT_EQ(limit.Admit("sound server lost", 1000), 0u);
    EXPECT_EQ(limit.Admit("sound server lost", 2000), std::nullopt);
    EXPECT_EQ(limit.Admit("sound server lost", 60999), std::nullopt);
    // Another cause is not held back by the first.
    EXPECT_EQ(limit.Admit("keyboard lost", 3000), 0u);
    // A minute after the last line that passed, the next passes with the count.
    EXPECT_EQ(limit.Admit("sound server lost", 61000), 2u);
    EXPECT_EQ(limit.Admit("sound server lost", 61001), std::nullopt);
    EXPECT_EQ(limit.Admit("sound server lost", 200000), 1u);
    EXPECT_EQ(limit.Admit("sound server lost", 300000), 0u);
}

}  // namespace
