#include "audio/capture_source.h"

#include <gtest/gtest.h>

namespace {

// A null sink reports about two seconds while nobody records; a Bluetooth
// headset a few hundred milliseconds.
TEST(CaptureDelays, TheReportedLatencyIsRoundedAndCapped)
{
    EXPECT_EQ(AutomaticDelayMs(0), 0);
    EXPECT_EQ(AutomaticDelayMs(11'499), 11);
    EXPECT_EQ(AutomaticDelayMs(11'500), 12);
    EXPECT_EQ(AutomaticDelayMs(212'000), 212);
    EXPECT_EQ(AutomaticDelayMs(500'000), 500);
    EXPECT_EQ(AutomaticDelayMs(2'000'000), 500);
    EXPECT_EQ(AutomaticDelayMs(UINT64_MAX), 500);
}

}  // namespace
