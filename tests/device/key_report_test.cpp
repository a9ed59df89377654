// The per-key colour table, its packets and the column-level report, byte for byte.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/column_level_protocol.h"
#include "device/key_colour_table.h"
#include "device/per_key_packet_protocol.h"
#include "lighting/key_grid.h"

namespace {

struct Packets {
    KeyColourTable table;
    std::vector<std::vector<uint8_t>> packets;
};

Packets Cut(const KeyGrid& grid)
{
    Packets result;
    BuildKeyColourTable(grid.cells, grid.ActiveRows(), grid.ActiveCols(), result.table);
    for (int i = 0; i < KeyPacketCount(result.table); ++i) {
        uint8_t report[kReportBytes];
        CutKeyPacket(result.table, i, report);
        EXPECT_EQ(report[0], 0) << "report ID of packet " << i;
        result.packets.emplace_back(report + 1, report + kReportBytes);
    }
    return result;
}

// A grid of rows x cols with keyed cells carrying indices 1 to count, column by column.
std::unique_ptr<KeyGrid> NumberedGrid(int rows, int cols, int count)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = rows;
    grid->m_nKeyCols = cols;
    int next = 1;
    for (int c = 0; c < cols; ++c) {
        for (int r = 0; r < rows; ++r) {
            if (next <= count) {
                grid->Cell(r, c).keyCode = 100 + next;
                grid->Cell(r, c).keyIndex = next;
                grid->Cell(r, c).color = 0x00030201u * static_cast<uint32_t>(next % 80);
                ++next;
            }
        }
    }
    return grid;
}

TEST(KeyColourTable, GridWithoutKeysIsTrailerThenFiller)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = 6;
    grid->m_nKeyCols = 21;
    grid->Cell(0, 0).keyCode = 0;
    grid->Cell(1, 0).keyCode = -4;
    grid->Cell(1, 0).keyIndex = 9;
    const Packets out = Cut(*grid);

    EXPECT_EQ(out.table.highestIndex, 0);
    EXPECT_EQ(out.table.length, 2);
    ASSERT_EQ(out.packets.size(), 1u);
    const std::vector<uint8_t> head(out.packets[0].begin(), out.packets[0].begin() + 16);
    EXPECT_EQ(head, (std::vector<uint8_t>{0xAA, 0x32, 0, 0, 0, 0, 0, 0, 0xAA, 0x55, 0, 0, 0x7F, 0, 0, 0}));
}

TEST(KeyColourTable, BlankTableHasFillerThenZeros)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = 0;
    KeyColourTable table;
    BuildKeyColourTable(grid->cells, 0, 0, table);
    for (int entry = 1; entry < kKeyTableEntries; ++entry) {
        const uint8_t expectedIndex = entry < 130 ? 0x7F : 0;
        ASSERT_EQ(table.bytes[entry * 4], expectedIndex) << entry;
        ASSERT_EQ(table.bytes[entry * 4 + 1] | table.bytes[entry * 4 + 2] | table.bytes[entry * 4 + 3], 0) << entry;
    }
}

struct WorkedSize {
    int highest;
    int length;
    size_t packets;
    uint8_t lastLengthByte;
};

class KeyPacketSizes : public ::testing::TestWithParam<WorkedSize> {};

TEST_P(KeyPacketSizes, HeadersCarryLengthAndOffset)
{
    const WorkedSize size = GetParam();
    auto grid = NumberedGrid(10, 23, size.highest);
    const Packets out = Cut(*grid);

    EXPECT_EQ(out.table.highestIndex, size.highest);
    EXPECT_EQ(out.table.length, size.length);
    ASSERT_EQ(out.packets.size(), size.packets);
    for (size_t i = 0; i < out.packets.size(); ++i) {
        const auto& packet = out.packets[i];
        const bool last = i + 1 == out.packets.size();
        EXPECT_EQ(packet[0], 0xAA);
        EXPECT_EQ(packet[1], 0x32);
        EXPECT_EQ(packet[2], last ? size.lastLengthByte : 56) << "packet " << i;
        EXPECT_EQ(packet[3] | packet[4] << 8, static_cast<int>(56 * i));
        EXPECT_EQ(packet[5] | packet[6] | packet[7], 0);
        for (int b = 0; b < 56; ++b) {
            const size_t offset = 56 * i + static_cast<size_t>(b);
            const uint8_t expected = offset < kKeyTableBytes ? out.table.bytes[offset] : 0;
            ASSERT_EQ(packet[8 + static_cast<size_t>(b)], expected) << "packet " << i << " byte " << b;
        }
    }
    EXPECT_EQ(out.table.bytes[4 * size.highest], 0xAA);
    EXPECT_EQ(out.table.bytes[4 * size.highest + 1], 0x55);
}

INSTANTIATE_TEST_SUITE_P(WorkedSizes, KeyPacketSizes,
                         ::testing::Values(WorkedSize{13, 54, 1, 52}, WorkedSize{14, 58, 2, 0},
                                           WorkedSize{26, 106, 2, 48}, WorkedSize{104, 418, 8, 24},
                                           WorkedSize{199, 798, 15, 12}));

TEST(KeyColourTable, EntriesFollowColumnMajorOrderWithKeyIndexAndRgb)
{
    // 104 keys with indices 1 to 104 handed out in a scrambled order.
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = 6;
    grid->m_nKeyCols = 21;
    std::vector<std::pair<int, int>> order;
    for (int c = 0; c < 21; ++c) {
        for (int r = 0; r < 6; ++r) {
            if (order.size() < 104) {
                order.emplace_back(r, c);
            }
        }
    }
    for (size_t k = 0; k < order.size(); ++k) {
        KeyCell& cell = grid->Cell(order[k].first, order[k].second);
        cell.keyCode = 1;
        cell.keyIndex = static_cast<int32_t>((k * 37) % 104 + 1);
        cell.color = 0x00102030u + 0x00010101u * static_cast<uint32_t>(k);
    }
    // Inactive or unkeyed cells never take a slot.
    grid->Cell(7, 0).keyCode = 5;
    grid->Cell(7, 0).keyIndex = 150;

    const Packets out = Cut(*grid);
    EXPECT_EQ(out.packets.size(), 8u);
    EXPECT_EQ(out.table.entries, 104);
    for (size_t k = 0; k < order.size(); ++k) {
        const KeyCell& cell = grid->Cell(order[k].first, order[k].second);
        const uint32_t color = cell.color;
        const uint8_t* entry = out.table.bytes + 4 * k;
        EXPECT_EQ(entry[0], static_cast<uint8_t>(cell.keyIndex)) << k;
        EXPECT_EQ(entry[1], color & 0xFF) << k;
        EXPECT_EQ(entry[2], (color >> 8) & 0xFF) << k;
        EXPECT_EQ(entry[3], (color >> 16) & 0xFF) << k;
    }
    EXPECT_EQ(out.table.bytes[416], 0xAA);
    EXPECT_EQ(out.table.bytes[417], 0x55);
}

TEST(KeyColourTable, IndicesBeyondTheTableAreLeftOut)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = 2;
    grid->m_nKeyCols = 3;
    const int32_t indices[] = {4, 250, -3, 7, 200, 199};
    int i = 0;
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 2; ++r) {
            grid->Cell(r, c).keyCode = 1;
            grid->Cell(r, c).keyIndex = indices[i++];
        }
    }
    const Packets out = Cut(*grid);
    EXPECT_EQ(out.table.entries, 3);
    EXPECT_EQ(out.table.bytes[0], 4);
    EXPECT_EQ(out.table.bytes[4], 7);
    EXPECT_EQ(out.table.highestIndex, 199);
    EXPECT_EQ(out.table.length, 798);
    // Entry 199 takes the trailer, as with any layout that leaves gaps in its numbering.
    EXPECT_EQ(out.table.bytes[796], 0xAA);
    EXPECT_EQ(out.table.bytes[797], 0x55);
}

TEST(KeyColourTable, MoreThanTwoHundredKeysAreCutAtTheTable)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = 10;
    grid->m_nKeyCols = 23;
    for (int c = 0; c < 23; ++c) {
        for (int r = 0; r < 10; ++r) {
            grid->Cell(r, c).keyCode = 1;
            grid->Cell(r, c).keyIndex = (c * 10 + r) % 200;
            grid->Cell(r, c).color = 0x00FFFFFF;
        }
    }
    const Packets out = Cut(*grid);
    EXPECT_EQ(out.table.entries, 200);
    EXPECT_EQ(out.table.highestIndex, 199);
    EXPECT_EQ(out.packets.size(), 15u);
    EXPECT_EQ(out.packets.back()[2], 12);
    // The entries are the first 200 keyed cells in column order.
    EXPECT_EQ(out.table.bytes[0], 0);
    EXPECT_EQ(out.table.bytes[4], 1);
    EXPECT_EQ(out.table.bytes[4 * 198], 198);
}

TEST(ColumnLevelReport, LowBytesLevelsAndChecksum)
{
    uint8_t levels[kMaxKeyCols] = {};
    uint8_t report[kReportBytes];
    FillColumnLevelReport(report, 1, 2, 3, levels);
    std::vector<uint8_t> expected(kReportBytes, 0);
    expected[1] = 0xAA;
    expected[2] = 0x35;
    expected[4] = 1;
    expected[5] = 2;
    expected[6] = 3;
    EXPECT_EQ(std::vector<uint8_t>(report, report + kReportBytes), expected);
    EXPECT_EQ(ReportChecksum(report), 0xE5);

    for (int c = 0; c < kMaxKeyCols; ++c) {
        levels[c] = static_cast<uint8_t>(c + 1);
    }
    FillColumnLevelReport(report, 0x1FF, -1, 356, levels);
    EXPECT_EQ(report[4], 0xFF);
    EXPECT_EQ(report[5], 0xFF);
    EXPECT_EQ(report[6], 100);
    EXPECT_EQ(report[7], 1);
    EXPECT_EQ(report[31], 25);
    EXPECT_EQ(report[32], 0);
    EXPECT_EQ(report[33], 0);
}

}  // namespace
