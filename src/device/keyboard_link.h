#pragma once

#include <cstdint>

#include "device/discovery_schedule.h"
#include "device/report_port.h"

class CHidDeviceManager;

// The lighting thread's side of the keyboard: gets the device manager on the
// first frame it sends, runs discovery between frames when it is due, and
// closes a keyboard whose writes keep failing so the next discovery finds it
// again once it is replugged. It logs each change of the keyboard's state
// (found, not found, access denied, lost, found again), never a retry.
class KeyboardLink {
public:
    using ManagerSource = CHidDeviceManager& (*)();

    KeyboardLink();
    explicit KeyboardLink(ManagerSource source);

    // Before a frame's first report.
    void BeginFrame(uint16_t vendorId, uint16_t productId, uint64_t now);
    // The frame's reports, moved by the device manager (NoKeyboard and no
    // read before the first BeginFrame).
    WriteOutcome Write(const uint8_t (&report)[kReportBytes]);
    void Read(uint8_t (&reply)[kReportBytes], int timeoutMs);
    // After a frame's last report.
    void EndFrame();

private:
    // What the log last said about the keyboard of the current ids.
    enum class Presence { Untold, Found, Missing, Denied, Lost };

    void TellDiscovery(bool idsChanged);

    ManagerSource m_source;
    CHidDeviceManager* m_pManager = nullptr;
    DiscoverySchedule m_schedule;
    Presence m_presence = Presence::Untold;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
};
