#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "api/daemon_status.h"
#include "audio/visualizer.h"
#include "base/relaxed.h"
#include "lighting/effect_params.h"
#include "lighting/key_grid.h"
#include "lighting/layout.h"
#include "screen/screen_light.h"

// The part of the daemon's state that the routes read and change, lent by its
// owner for one request on the server thread. The shared words are relaxed:
// the lighting worker reads them on its next tick, and any recent value will do.
struct ApiTargets {
    LayoutTargets layout;
    KeyGrid& keyGrid;
    EffectParams& effect;
    Visualizer& visualizer;
    ScreenLight& screenLight;
    Relaxed<int32_t>& effectRunning;           ///< 0 pauses the lighting worker's frames
    Relaxed<bool>& lightingActive;             ///< false: amplitude-only operation
    const Relaxed<int32_t>& amplitudeReading;  ///< written by the lighting worker
    Relaxed<uint64_t>& lastRequestTick;        ///< when the host last polled
    std::function<std::string()> hardwareJson; ///< the hardware reply body, empty while there is none
    std::function<DaemonStatus()> status;      ///< what the daemon has found, read without waking anything
    PauseFn pauseMs = SleepMs;                 ///< the wait of new effect parameters (none in the fuzzer)
    std::function<void()> wake = {};           ///< called right after lastRequestTick is set: ends a rest
    std::function<void()> lightingOff = {};    ///< called after the amplitude route turned the key lighting off
};
