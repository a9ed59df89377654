#pragma once

#include <cstdint>

#include "device/keyboard_protocol.h"

constexpr int kColumnLevelCount = 25;
constexpr int kChecksumOffset = 32;
constexpr uint8_t kColumnLevelsCommand = 0x35;

// The column-level report with report ID: the low 8 bits of the three
// parameters and the first 25 column levels, zeros after them. Its checksum
// byte stays 0 for SendColumnLevelReport to fill.
void FillColumnLevelReport(uint8_t (&report)[kReportBytes], int32_t mode, int32_t backMode,
                           int32_t backModeBrightness, const uint8_t* levels);

// The low 8 bits of the sum of all 65 report bytes.
uint8_t ReportChecksum(const uint8_t (&report)[kReportBytes]);

// One column-level report and its answer: the checksum stored, the report
// written whole and retried once after kRetryPauseMs when the write fails, the
// answer read kReplyPauseMs after the write. Afterwards the report holds the
// reply (or, when none came, what was written). True only when the keyboard
// acknowledged.
bool SendColumnLevelReport(ReportPort& port, uint8_t (&report)[kReportBytes]);

// The column-level family: one report per frame that tells the keyboard, per
// column, how high its lit part reaches; the keyboard draws the keys itself.
class ColumnLevelProtocol final : public KeyboardProtocol {
public:
    static constexpr uint32_t kRetryPauseMs = 10;
    static constexpr uint32_t kReplyPauseMs = 5;

    bool Accepts(const KeyFrame& frame) const override { return ReferenceKeyboardTakes(frame); }
    void Send(const KeyFrame& frame, ReportPort& port) override;
};
