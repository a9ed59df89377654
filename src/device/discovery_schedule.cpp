#include "device/discovery_schedule.h"

bool DiscoverySchedule::Due(uint64_t now, bool open, uint16_t vendorId, uint16_t productId) const
{
    if (!m_bRan || vendorId != m_vendorId || productId != m_productId) {
        return true;
    }
    return !open && now - m_lastRun >= kRetryMs;
}

void DiscoverySchedule::Ran(uint64_t now, uint16_t vendorId, uint16_t productId)
{
    m_bRan = true;
    m_lastRun = now;
    m_vendorId = vendorId;
    m_productId = productId;
    m_nFailedFrames = 0;
}

bool DiscoverySchedule::FrameSent(bool writeFailed)
{
    m_nFailedFrames = writeFailed ? m_nFailedFrames + 1 : 0;
    if (m_nFailedFrames < kFailedFramesBeforeLost) {
        return false;
    }
    m_nFailedFrames = 0;
    return true;
}

uint16_t UsbIdOrDefault(int32_t value, int32_t fallback)
{
    return static_cast<uint16_t>(value > 0 && value <= 0xFFFF ? value : fallback);
}
