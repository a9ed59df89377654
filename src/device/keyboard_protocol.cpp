#include "device/keyboard_protocol.h"

bool ReferenceKeyboardTakes(const KeyFrame& frame)
{
    const uint8_t* levels = frame.columnLevels;
    return frame.cols <= kReferenceMaxColumns && (levels[0] | levels[1] | levels[2]) != 0;
}

bool ReadAcknowledgement(ReportPort& port, uint8_t (&report)[kReportBytes])
{
    port.Read(report, kReplyTimeoutMs);
    return report[1] == kAcknowledge;
}
