#include "device/column_level_protocol.h"

#include <cstring>

#include "base/clock.h"

void FillColumnLevelReport(uint8_t (&report)[kReportBytes], int32_t mode, int32_t backMode,
                           int32_t backModeBrightness, const uint8_t* levels)
{
    // The keyboard takes only whole output reports: the 33 meaningful bytes,
    // then zeros up to its report length. Windows pads a short write itself;
    // hidraw would pass it on short, so every platform gets the whole report.
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

bool SendColumnLevelReport(ReportPort& port, uint8_t (&report)[kReportBytes])
{
    report[kChecksumOffset] = ReportChecksum(report);
    WriteOutcome outcome = port.Write(report);
    if (outcome == WriteOutcome::Failed) {
        SleepMs(ColumnLevelProtocol::kRetryPauseMs);
        outcome = port.Write(report);
    }
    if (outcome != WriteOutcome::Written) {
        return false;
    }
    SleepMs(ColumnLevelProtocol::kReplyPauseMs);
    return ReadAcknowledgement(port, report);
}

void ColumnLevelProtocol::Send(const KeyFrame& frame, ReportPort& port)
{
    uint8_t report[kReportBytes];
    FillColumnLevelReport(report, frame.mode, frame.backMode, frame.backModeBrightness, frame.columnLevels);
    SendColumnLevelReport(port, report);
}
