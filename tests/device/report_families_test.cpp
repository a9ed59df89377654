// The mode table and the send rule every family of the reference keyboard keeps.
#include "device/report_families.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "device/column_level_protocol.h"
#include "device/per_key_packet_protocol.h"
#include "lighting/key_grid.h"

namespace {

TEST(ReportFamilyOf, DeviceModeOneIsTheColumnReportAndEveryOtherModeThePerKeyPackets)
{
    EXPECT_EQ(ReportFamilyOf(1), ReportFamily::ColumnLevels);
    for (const int32_t mode : {0, -1, 2, 3, 255, 257, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ReportFamilyOf(mode), ReportFamily::PerKeyPackets) << mode;
    }
}

TEST(ReportFamilies, EachFamilyHasItsOwnProtocol)
{
    ReportFamilies families;
    KeyboardProtocol& perKey = families.Protocol(ReportFamily::PerKeyPackets);
    KeyboardProtocol& columns = families.Protocol(ReportFamily::ColumnLevels);
    EXPECT_NE(dynamic_cast<PerKeyPacketProtocol*>(&perKey), nullptr);
    EXPECT_NE(dynamic_cast<ColumnLevelProtocol*>(&columns), nullptr);
    EXPECT_EQ(&families.Protocol(ReportFamily::PerKeyPackets), &perKey);
}

struct SendRuleCase {
    int cols;
    int litColumn;  // -1: nothing lit
    bool sent;
};

TEST(ReportFamilies, BothFamiliesSendOnlyNarrowLayoutsLitInTheirThreeLeftmostColumns)
{
    const SendRuleCase cases[] = {
        {21, 0, true},  {21, 1, true},   {21, 2, true},   {21, 3, false}, {21, -1, false},
        {23, 2, true},  {24, 0, false},  {100, 0, false}, {1, 0, true},
    };
    auto grid = std::make_unique<KeyGrid>();
    ReportFamilies families;
    for (const ReportFamily family : {ReportFamily::PerKeyPackets, ReportFamily::ColumnLevels}) {
        for (const SendRuleCase& c : cases) {
            uint8_t levels[kMaxKeyCols] = {};
            if (c.litColumn >= 0) {
                levels[c.litColumn] = 1;
            }
            const KeyFrame frame{grid->cells, 6, c.cols, levels, 19, 0, 100};
            EXPECT_EQ(families.Protocol(family).Accepts(frame), c.sent)
                << static_cast<int>(family) << ": " << c.cols << " columns, lit column " << c.litColumn;
        }
    }
}

}  // namespace
