#pragma once

#include <cstdint>

#include "base/relaxed.h"
#include "device/discovery_schedule.h"
#include "device/report_port.h"

class CHidDeviceManager;

// What the last discovery found of the keyboard it looked for.
enum class KeyboardState : uint8_t {
    NotLookedFor,  ///< no frame has gone out yet
    Open,          ///< found and opened
    Denied,        ///< found, but the user may not open it (no udev rule for its ids)
    Missing,       ///< not found, or lost after its writes failed
};

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

    // What the last discovery found; from any thread (some recent value).
    KeyboardState State() const { return m_state; }

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
    Relaxed<KeyboardState> m_state{KeyboardState::NotLookedFor};  ///< by the lighting thread
};
