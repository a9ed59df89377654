// When discovery runs and when a keyboard counts as unplugged.
#include "device/discovery_schedule.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t kVendor = 0x320F;
constexpr uint16_t kProduct = 0x5055;

TEST(DiscoverySchedule, RunsFirstThenOncePerSecondWhileClosed)
{
    DiscoverySchedule schedule;
    EXPECT_TRUE(schedule.Due(5000, false, kVendor, kProduct));
    schedule.Ran(5000, kVendor, kProduct);
    EXPECT_FALSE(schedule.Due(5016, false, kVendor, kProduct));
    EXPECT_FALSE(schedule.Due(5999, false, kVendor, kProduct));
    EXPECT_TRUE(schedule.Due(6000, false, kVendor, kProduct));
    // An open keyboard is left alone however long ago it was found.
    EXPECT_FALSE(schedule.Due(60000, true, kVendor, kProduct));
}

TEST(DiscoverySchedule, AnotherKeyboardInTheLayoutRunsAtOnce)
{
    DiscoverySchedule schedule;
    schedule.Ran(100, kVendor, kProduct);
    EXPECT_TRUE(schedule.Due(101, true, 0x1234, kProduct));
    EXPECT_TRUE(schedule.Due(101, true, kVendor, 0x0001));
    schedule.Ran(101, 0x1234, kProduct);
    EXPECT_FALSE(schedule.Due(102, false, 0x1234, kProduct));
}

TEST(DiscoverySchedule, LostOnlyAfterSeveralFailedFramesInARow)
{
    DiscoverySchedule schedule;
    schedule.Ran(0, kVendor, kProduct);
    EXPECT_FALSE(schedule.FrameSent(true));
    EXPECT_FALSE(schedule.FrameSent(true));
    EXPECT_FALSE(schedule.FrameSent(false));
    EXPECT_FALSE(schedule.FrameSent(true));
    EXPECT_FALSE(schedule.FrameSent(true));
    EXPECT_TRUE(schedule.FrameSent(true));
    // Counting starts over after a loss and after a discovery.
    EXPECT_FALSE(schedule.FrameSent(true));
    EXPECT_FALSE(schedule.FrameSent(true));
    schedule.Ran(10, kVendor, kProduct);
    EXPECT_FALSE(schedule.FrameSent(true));
}

TEST(DiscoverySchedule, IdsThatAreNoUsbIdFallBackToTheDefault)
{
    EXPECT_EQ(UsbIdOrDefault(0x1234, 0x320F), 0x1234);
    EXPECT_EQ(UsbIdOrDefault(0xFFFF, 0x320F), 0xFFFF);
    EXPECT_EQ(UsbIdOrDefault(0, 0x320F), 0x320F);
    EXPECT_EQ(UsbIdOrDefault(-1, 0x320F), 0x320F);
    EXPECT_EQ(UsbIdOrDefault(0x10000, 0x320F), 0x320F);
}

}  // namespace
