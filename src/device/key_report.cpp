#include "device/key_report.h"

#include <algorithm>
#include <cstring>

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
