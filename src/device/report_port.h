#pragma once

#include <cstdint>

// Every output and input report of the keyboard: report ID 0, then 64 data bytes.
constexpr int kReportBytes = 65;

// What became of one output report.
enum class WriteOutcome {
    NoKeyboard,  // nothing is open that could take it; no I/O took place
    Failed,      // the write failed, as it does once the keyboard is unplugged
    Written,
};

// Where a keyboard protocol's reports go: whole reports out and back, with no
// knowledge of what they mean. Used from the lighting thread only.
class ReportPort {
public:
    // One whole output report, report ID first.
    virtual WriteOutcome Write(const uint8_t (&report)[kReportBytes]) = 0;
    // One input report into reply, waiting at most timeoutMs. The reply keeps
    // what it held when nothing arrives in time or nothing is open.
    virtual void Read(uint8_t (&reply)[kReportBytes], int timeoutMs) = 0;
    // True while shutting down: a protocol drops the rest of its frame, so a
    // silent keyboard (500 ms per report) cannot hold the shutdown for seconds.
    virtual bool Stopping() const = 0;

protected:
    ~ReportPort() = default;
};
