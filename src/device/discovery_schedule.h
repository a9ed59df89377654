#pragma once

#include <cstdint>

// When the lighting thread looks for the keyboard: before the first frame it
// sends, whenever the layout names another keyboard, and at most once a second
// while none is open. A keyboard whose writes fail several frames in a row is
// taken as unplugged, so it is closed and looked for again.
class DiscoverySchedule {
public:
    static constexpr uint64_t kRetryMs = 1000;
    static constexpr int kFailedFramesBeforeLost = 3;

    bool Due(uint64_t now, bool open, uint16_t vendorId, uint16_t productId) const;
    void Ran(uint64_t now, uint16_t vendorId, uint16_t productId);

    // After each sent frame; true when the keyboard is to be closed as lost.
    bool FrameSent(bool writeFailed);

private:
    bool m_bRan = false;
    uint64_t m_lastRun = 0;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    int m_nFailedFrames = 0;
};

// The USB ids discovery looks for, from the layout's identity: a value that is
// no USB id (0, negative or above 0xFFFF, as a layout without the member
// gives) falls back to the default keyboard rather than matching every device.
uint16_t UsbIdOrDefault(int32_t value, int32_t fallback);
