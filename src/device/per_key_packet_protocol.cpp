#include "device/per_key_packet_protocol.h"

#include <algorithm>
#include <cstring>

int KeyPacketCount(const KeyColourTable& table)
{
    return (table.length + kPacketTableBytes - 1) / kPacketTableBytes;
}

void CutKeyPacket(const KeyColourTable& table, int index, uint8_t (&report)[kReportBytes])
{
    const int offset = kPacketTableBytes * index;
    const bool last = index == KeyPacketCount(table) - 1;
    uint8_t* payload = report + 1;
    report[0] = 0;
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

bool SendKeyPacket(ReportPort& port, uint8_t (&report)[kReportBytes])
{
    return port.Write(report) == WriteOutcome::Written && ReadAcknowledgement(port, report);
}

void PerKeyPacketProtocol::Send(const KeyFrame& frame, ReportPort& port)
{
    BuildKeyColourTable(frame.cells, frame.rows, frame.cols, m_table);
    const int packets = KeyPacketCount(m_table);
    for (int i = 0; i < packets && !port.Stopping(); ++i) {
        uint8_t report[kReportBytes];
        CutKeyPacket(m_table, i, report);
        SendKeyPacket(port, report);
    }
}
