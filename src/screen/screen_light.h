#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/relaxed.h"
#include "screen/screen_grid.h"
#include "screen/screen_sampler.h"

// The screen colours of effect mode 100. A sampler thread of its own, started
// by the constructor, reduces the desktop to one colour per key cell every
// 33 ms (plus the pass itself) while enabled and not resting, and otherwise
// sleeps until enabling or waking wakes it. Idle, the grid keeps the colours
// of the last pass; when the system could not create the thread, it stays
// black and start-up goes on without it. With no screen to sample (no X display
// on Linux, or it went away) the grid is black until one appears.
//
// The platform's sampler is opened at the first pass after enabling and
// released when disabled, so a screen stream runs only in screen mode and
// each switch to it chooses the source anew.
class ScreenLight {
public:
    static constexpr int kGridColumns = ScreenGrid::kColumns;
    static constexpr int kGridRows = ScreenGrid::kRows;
    static constexpr uint32_t kEnabledPauseMs = 33;

    using SamplerFactory = std::function<std::unique_ptr<ScreenSampler>()>;

    // The platform's sampler (OpenScreenSampler).
    ScreenLight();
    // The sampler this factory makes; it is called on the sampler thread at
    // the first pass after each enabling, and a null result means there is no
    // screen.
    explicit ScreenLight(SamplerFactory openSampler);
    ~ScreenLight();
    ScreenLight(const ScreenLight&) = delete;
    ScreenLight& operator=(const ScreenLight&) = delete;

    // Stops and joins the sampler thread; a pass under way ends first. The
    // sampler is released on its thread. Safe to call more than once.
    void Stop();

    // Sets m_bEnabled; turning it on wakes an idle sampler thread.
    void SetEnabled(bool enabled);

    // While resting the sampler makes no passes, enabled or not (nobody looks
    // at the colours); waking lets an enabled sampler go on at once.
    void SetResting(bool resting);

    // Whether the constructor could start the sampler thread.
    bool ThreadStarted() const { return m_thread.joinable(); }

    // The colour of cell (column, row); black outside the grid.
    uint32_t ColorAt(int column, int row) const;

    Relaxed<bool> m_bRunning{true};   ///< cleared by Stop
    Relaxed<bool> m_bEnabled{false};  ///< written by start-up and the effect handling (SetEnabled)
    Relaxed<bool> m_bResting{false};  ///< written by the daemon's rest and wake-up (SetResting)
    Relaxed<int32_t> m_nColumns{22};  ///< written by the layout handling; read once per pass
    Relaxed<int32_t> m_nRows{6};      ///< written by the layout handling; read once per pass
    ScreenGrid m_colors;              ///< written by the sampler thread, read by the lighting thread

private:
    // The thread body, and one pass for the current grid size.
    void SamplerLoop();
    void SampleScreen();
    // Releases the sampler, on the sampler thread; the next pass opens one.
    void ReleaseSampler();
    // Sleeps up to ms, or less when Stop comes meanwhile.
    void Pause(uint32_t ms);
    // Sleeps until the sampler is enabled and awake, or stopped.
    void WaitUntilWanted();

    SamplerFactory m_openSampler;
    std::unique_ptr<ScreenSampler> m_pSampler;  // sampler thread only
    bool m_bSamplerOpened = false;              // sampler thread only
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};
