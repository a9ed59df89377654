#include "device/key_report.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "lighting/key_grid.h"

namespace {

// Entries 0 to 129 are "no key" filler (index 0x7F, black); 130 to 199 are zero.
constexpr std::array<uint8_t, kKeyTableBytes> MakeBlankTable()
{
    std::array<uint8_t, kKeyTableBytes> table{};
    for (int entry = 0; entry < 130; ++entry) {
        table[static_cast<size_t>(entry) * 4] = 0x7F;
    }
    return table;
}

constexpr std::array<uint8_t, kKeyTableBytes> kBlankTable = MakeBlankTable();

}  // namespace

void BuildKeyColourTable(const KeyGrid& grid, int rows, int cols, KeyColourTable& table)
{
    std::memcpy(table.bytes, kBlankTable.data(), kKeyTableBytes);
    rows = std::clamp(rows, 0, kMaxKeyRows);
    cols = std::clamp(cols, 0, kMaxKeyCols);

    int entries = 0;
    int32_t highest = 0;
    for (int c = 0; c < cols && entries < kKeyTableEntries; ++c) {
        for (int r = 0; r < rows && entries < kKeyTableEntries; ++r) {
            const KeyCell& cell = grid.Cell(r, c);
            if (cell.keyCode <= 0) {
                continue;
            }
            const int32_t keyIndex = cell.keyIndex;
            if (keyIndex < 0 || keyIndex >= kKeyTableEntries) {
                continue;
            }
            const uint32_t color = cell.color;
            uint8_t* entry = table.bytes + entries * 4;
            entry[0] = static_cast<uint8_t>(keyIndex);
            entry[1] = static_cast<uint8_t>(color);
            entry[2] = static_cast<uint8_t>(color >> 8);
            entry[3] = static_cast<uint8_t>(color >> 16);
            highest = std::max(highest, keyIndex);
            ++entries;
        }
    }

    table.bytes[highest * 4] = kReportMagic;
    table.bytes[highest * 4 + 1] = kAcknowledge;
    table.highestIndex = highest;
    table.length = highest * 4 + 2;
    table.entries = entries;
}

int KeyPacketCount(const KeyColourTable& table)
{
    return (table.length + kPacketTableBytes - 1) / kPacketTableBytes;
}

void CutKeyPacket(const KeyColourTable& table, int index, uint8_t (&payload)[kPacketBytes])
{
    const int offset = kPacketTableBytes * index;
    const bool last = index == KeyPacketCount(table) - 1;
    payload[0] = kReportMagic;
    payload[1] = kKeyColoursCommand;
    payload[2] = last ? static_cast<uint8_t>(table.length - offset - 2) : kPacketTableBytes;
    payload[3] = static_cast<uint8_t>(offset);
    payload[4] = static_cast<uint8_t>(offset >> 8);
    payload[5] = payload[6] = payload[7] = 0;

    const int available = offset < 0 ? 0 : std::clamp(kKeyTableBytes - offset, 0, kPacketTableBytes);
    if (available > 0) {
        std::memcpy(payload + 8, table.bytes + offset, static_cast<size_t>(available));
    }
    std::memset(payload + 8 + available, 0, static_cast<size_t>(kPacketTableBytes - available));
}

void FillColumnLevelReport(uint8_t (&report)[kReportBytes], int32_t mode, int32_t backMode,
                           int32_t backModeBrightness, const uint8_t* levels)
{
    std::memset(report, 0, sizeof report);
    report[1] = kReportMagic;
    report[2] = kColumnLevelsCommand;
    report[4] = static_cast<uint8_t>(mode);
    report[5] = static_cast<uint8_t>(backMode);
    report[6] = static_cast<uint8_t>(backModeBrightness);
    std::memcpy(report + 7, levels, kColumnLevelCount);
}

uint8_t ReportChecksum(const uint8_t (&report)[kReportBytes])
{
    unsigned sum = 0;
    for (const uint8_t byte : report) {
        sum += byte;
    }
    return static_cast<uint8_t>(sum);
}
