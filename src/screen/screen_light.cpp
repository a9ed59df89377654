#include "screen/screen_light.h"

#include <algorithm>
#include <chrono>

#include "base/thread_name.h"
#include "base/thread_start.h"

ScreenLight::ScreenLight() : ScreenLight(OpenScreenSampler) {}

ScreenLight::ScreenLight(SamplerFactory openSampler) : m_openSampler(std::move(openSampler))
{
    m_thread = TryStartThread("screen sampler", &ScreenLight::SamplerLoop, this);
}

ScreenLight::~ScreenLight()
{
    Stop();
}

void ScreenLight::Stop()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_bRunning = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

uint32_t ScreenLight::ColorAt(int column, int row) const
{
    return m_colors.At(column, row);
}

void ScreenLight::SetEnabled(bool enabled)
{
    if (m_bEnabled.exchange(enabled) == enabled || !enabled) {
        return;
    }
    // Taking the lock orders the store before a waiter's next look at it.
    { std::lock_guard lock(m_wakeMutex); }
    m_wake.notify_all();
}

void ScreenLight::SetResting(bool resting)
{
    if (m_bResting.exchange(resting) == resting || resting) {
        return;
    }
    { std::lock_guard lock(m_wakeMutex); }
    m_wake.notify_all();
}

void ScreenLight::Pause(uint32_t ms)
{
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_bRunning; });
}

void ScreenLight::WaitUntilWanted()
{
    // No time-out: enabling, waking and Stop all notify under the lock.
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait(lock, [this] { return !m_bRunning || (m_bEnabled && !m_bResting); });
}

void ScreenLight::SamplerLoop()
{
    NameCurrentThread("tonvik-screen");
    while (m_bRunning) {
        if (m_bEnabled && !m_bResting) {
            SampleScreen();
            Pause(kEnabledPauseMs);
        } else if (m_bEnabled) {
            // Resting in screen mode: a stream stops, but the sampler and the
            // user's answer to the portal stay for the wake-up.
            if (m_pSampler) {
                m_pSampler->Rest();
            }
            WaitUntilWanted();
        } else {
            // Switched off, the sampler goes (a portal stream stops with it);
            // switching on again opens one afresh, choosing its source again.
            ReleaseSampler();
            WaitUntilWanted();
        }
    }
    ReleaseSampler();
}

void ScreenLight::ReleaseSampler()
{
    // The platform's handles belong to this thread.
    m_pSampler.reset();
    m_bSamplerOpened = false;
}

void ScreenLight::SampleScreen()
{
    if (!m_bSamplerOpened) {
        m_bSamplerOpened = true;
        m_pSampler = m_openSampler ? m_openSampler() : nullptr;
    }
    // The layout handling keeps the size within the largest layout; clamped
    // again here, since nothing may reach outside the grid.
    const int columns = std::clamp<int32_t>(m_nColumns, 0, kGridColumns);
    const int rows = std::clamp<int32_t>(m_nRows, 0, kGridRows);
    const ScreenSampler::Result result =
        m_pSampler ? m_pSampler->Sample(m_colors, columns, rows) : ScreenSampler::Result::NoScreen;
    if (result == ScreenSampler::Result::NoScreen) {
        m_colors.Clear();
    }
}
