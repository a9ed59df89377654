#include "device/key_colour_table.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "device/keyboard_protocol.h"

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

void BuildKeyColourTable(const KeyCell (&cells)[kMaxKeyRows][kMaxKeyCols], int rows, int cols,
                         KeyColourTable& table)
{
    std::memcpy(table.bytes, kBlankTable.data(), kKeyTableBytes);
    rows = std::clamp(rows, 0, kMaxKeyRows);
    cols = std::clamp(cols, 0, kMaxKeyCols);

    int entries = 0;
    int32_t highest = 0;
    for (int c = 0; c < cols && entries < kKeyTableEntries; ++c) {
        for (int r = 0; r < rows && entries < kKeyTableEntries; ++r) {
            const KeyCell& cell = cells[r][c];
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
