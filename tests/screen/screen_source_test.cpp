// The waits between attempts to get the portal's stream.
#include "screen/screen_source.h"

#include <gtest/gtest.h>

namespace {

TEST(RetrySchedule, WaitsDoubleFromTwoSecondsToAMinuteAndStartOverAfterASuccess)
{
    RetrySchedule schedule;
    for (const int seconds : {2, 4, 8, 16, 32, 60, 60, 60}) {
        EXPECT_EQ(schedule.Next().count(), seconds);
    }
    schedule.Reset();
    EXPECT_EQ(schedule.Next().count(), 2);
    EXPECT_EQ(schedule.Next().count(), 4);
}

}  // namespace
