#pragma once

#include <cstdint>

#include "api/api_targets.h"
#include "base/command_queue.h"

// The state the API routes work on, without the daemon around it. Each input
// starts from a fresh one (on the heap: it is large), so that a finding
// replays on its own; the 150 ms pause of new effect parameters returns at once.
// Only the visualizer (400 KB, whose settings steer no route) is shared by all
// inputs of a run: building one per input would take most of the time.
struct FuzzApiState {
    KeyGrid grid;
    LayoutIdentity identity;
    ScreenLight screen;
    CommandQueue commands;
    EffectParams effect;
    Visualizer& visualizer = SharedVisualizer();
    Relaxed<int32_t> effectRunning{1};
    Relaxed<bool> lightingActive{false};
    Relaxed<int32_t> amplitudeReading{0};
    Relaxed<uint64_t> lastRequestTick{0};

    static Visualizer& SharedVisualizer()
    {
        static Visualizer shared;
        return shared;
    }

    ApiTargets Targets()
    {
        return {{grid, identity, screen, commands},
                grid,
                effect,
                visualizer,
                screen,
                effectRunning,
                lightingActive,
                amplitudeReading,
                lastRequestTick,
                [] { return std::string(); },
                [] { return DaemonStatus{}; },
                [](uint32_t) {}};
    }
};
