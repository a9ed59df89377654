#include "base/timer.h"

#include <algorithm>

#include "base/timer_platform.h"

namespace {

// Raised once for the whole process, on the first timer start.
std::mutex g_resolutionMutex;
bool g_bResolutionRaised = false;
uint32_t g_nResolutionMs = 1;

}  // namespace

uint32_t CTimer::StartPeriodicTimer(uint32_t /*delayMs*/)
{
    uint32_t resolution = 1;
    {
        std::lock_guard lock(g_resolutionMutex);
        uint32_t minMs = 0;
        uint32_t maxMs = 0;
        if (!g_bResolutionRaised && timer_platform::GetResolutionRange(minMs, maxMs)) {
            g_nResolutionMs = std::min(std::max(minMs, 1u), maxMs);
            timer_platform::BeginResolution(g_nResolutionMs);
            g_bResolutionRaised = true;
        }
        resolution = g_nResolutionMs;
        m_bHoldsResolution = m_bHoldsResolution || g_bResolutionRaised;
    }
    const uint32_t id = timer_platform::StartPeriodic(kPeriodMs, resolution, &CTimer::Callback, this);
    std::lock_guard lock(m_idsMutex);
    m_timerIds.push_back(id);
    return id;
}

void CTimer::Callback(uint32_t timerId, void* user)
{
    if (user != nullptr) {
        static_cast<CTimer*>(user)->OnTimerTick(timerId);
    }
}

void CTimer::StopAllTimers()
{
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(m_idsMutex);
        ids.swap(m_timerIds);
    }
    for (uint32_t id : ids) {
        if (id != 0) {
            timer_platform::Kill(id);
        }
    }
    std::lock_guard lock(g_resolutionMutex);
    if (m_bHoldsResolution && g_bResolutionRaised) {
        timer_platform::EndResolution(g_nResolutionMs);
    }
    m_bHoldsResolution = false;
}

void CTimer::StopTimer(uint32_t timerId)
{
    {
        std::lock_guard lock(m_idsMutex);
        std::erase(m_timerIds, timerId);
    }
    if (timerId != 0) {
        timer_platform::Kill(timerId);
    }
}

CTimer::~CTimer()
{
    StopAllTimers();
}
