#pragma once

#include <cstdint>

#include "device/key_cell.h"
#include "device/report_port.h"

// The reference keyboard starts every report with this byte and acknowledges a
// report with an input report whose second byte is kAcknowledge.
constexpr uint8_t kReportMagic = 0xAA;
constexpr uint8_t kAcknowledge = 0x55;
constexpr int kReplyTimeoutMs = 500;

// One rendered frame as the keyboard is to show it: every active key cell with
// its colour, the column levels, and the effect parameters a report may carry.
// Lent for one send; the cells may change while it is read.
struct KeyFrame {
    const KeyCell (&cells)[kMaxKeyRows][kMaxKeyCols];
    int rows;  // the active size, at most the grid's capacity
    int cols;
    // Per column, how high the lit part reaches in keys from the bottom row; 0 when unlit.
    const uint8_t (&columnLevels)[kMaxKeyCols];
    int32_t mode;
    int32_t backMode;
    int32_t backModeBrightness;
};

// One family of keyboard reports: which frames it sends, the bytes of its
// reports, and how it takes the keyboard's answers. Lives on the lighting thread.
class KeyboardProtocol {
public:
    virtual ~KeyboardProtocol() = default;

    // Whether the frame goes to the keyboard at all; asked before the keyboard
    // is looked for, so a frame that is not sent costs no discovery.
    virtual bool Accepts(const KeyFrame& frame) const = 0;
    // Sends the frame's reports in order. Answers are taken but not acted on:
    // a failed or unacknowledged report never repeats or shortens a frame.
    virtual void Send(const KeyFrame& frame, ReportPort& port) = 0;
};

// The send rule of the reference keyboard, whichever family it speaks: a frame
// goes out only while the layout is at most kReferenceMaxColumns wide and one
// of its three leftmost columns is lit.
constexpr int kReferenceMaxColumns = 23;
bool ReferenceKeyboardTakes(const KeyFrame& frame);

// Reads the keyboard's answer to the report just written into that report;
// true when it acknowledges. A report that goes unanswered stays as written,
// whose second byte is kReportMagic, so silence never counts as an answer.
bool ReadAcknowledgement(ReportPort& port, uint8_t (&report)[kReportBytes]);
