#pragma once

#include <cstdint>

// Wire format of the keyboard's output reports. Every report starts with
// report ID 0; the 64 data bytes follow.
constexpr int kReportBytes = 65;
constexpr int kPacketBytes = 64;
constexpr int kPacketTableBytes = 56;
constexpr int kKeyTableEntries = 200;
constexpr int kKeyTableBytes = kKeyTableEntries * 4;
constexpr int kColumnLevelCount = 25;
constexpr int kCommandWriteBytes = 33;  // report ID and the 32 data bytes a column-level report uses; zeros follow
constexpr int kChecksumOffset = 32;

constexpr uint8_t kReportMagic = 0xAA;
constexpr uint8_t kKeyColoursCommand = 0x32;
constexpr uint8_t kColumnLevelsCommand = 0x35;
constexpr uint8_t kAcknowledge = 0x55;

// The per-key colour table of one frame: 200 entries of key index, red, green,
// blue, the 0xAA 0x55 trailer at offset 4 x H, and the frame length L = 4 x H + 2.
//
// A keyboard table holds 200 entries with indices 0 to 199, so a layout that
// goes beyond it is clipped: keyed cells whose index lies outside 0 to 199 are
// left out of the frame (later cells move up into their slot), and keyed cells
// after the 200th entry are dropped. The trailer therefore always lies inside
// the table and a packet never reads past it.
struct KeyColourTable {
    uint8_t bytes[kKeyTableBytes];
    int32_t highestIndex = 0;  // H
    int32_t length = 2;        // L
    int32_t entries = 0;
};

// P = ceil(L / 56): the number of 64-byte packets a frame of length L needs.
int KeyPacketCount(const KeyColourTable& table);

// Packet i (0 to P - 1) of the frame: the header with its length byte and
// offset, then table bytes 56 x i to 56 x i + 55 (0 past the table's end).
void CutKeyPacket(const KeyColourTable& table, int index, uint8_t (&payload)[kPacketBytes]);

// The column-level report with report ID: the low 8 bits of the three
// parameters and the first 25 column levels. Its checksum byte stays 0 for the
// device manager to fill.
void FillColumnLevelReport(uint8_t (&report)[kReportBytes], int32_t mode, int32_t backMode,
                           int32_t backModeBrightness, const uint8_t* levels);

// The low 8 bits of the sum of all 65 report bytes.
uint8_t ReportChecksum(const uint8_t (&report)[kReportBytes]);
