#pragma once

#include <cstdint>

#include "device/key_colour_table.h"
#include "device/keyboard_protocol.h"

constexpr int kPacketTableBytes = 56;
constexpr uint8_t kKeyColoursCommand = 0x32;

// P = ceil(L / 56): the number of packets a frame of length L needs.
int KeyPacketCount(const KeyColourTable& table);

// The whole report of packet i (0 to P - 1) of the frame: report ID 0, the
// header with its length byte and offset, then table bytes 56 x i to
// 56 x i + 55 (0 past the table's end).
void CutKeyPacket(const KeyColourTable& table, int index, uint8_t (&report)[kReportBytes]);

// One packet and its answer; afterwards the report holds the reply (or, when
// none came or nothing was written, what it held). True only when the keyboard
// acknowledged. A failed write is neither retried nor read after.
bool SendKeyPacket(ReportPort& port, uint8_t (&report)[kReportBytes]);

// The per-key colour family: every keyed cell's colour in a table of up to 200
// entries, sent in 64-byte packets of 56 table bytes each, first packet first.
class PerKeyPacketProtocol final : public KeyboardProtocol {
public:
    bool Accepts(const KeyFrame& frame) const override { return ReferenceKeyboardTakes(frame); }
    void Send(const KeyFrame& frame, ReportPort& port) override;

private:
    KeyColourTable m_table;  // per-frame scratch, so a frame allocates nothing
};
