#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "daemon_api.h"
#include "host_choices.h"
#include "host_settings.h"
#include "pause_state.h"
#include "stop_signal.h"

// What a host front-end does, for as long as it runs: finds the daemon,
// uploads the layout, sets the effect, then polls the effect route every
// 400 ms (the daemon writes the keyboard only while a host has polled in the
// last second), or every 200 ms while a preview draws the replies. When the daemon goes away it looks for it again
// every second; when it comes back, or answers with keys other than the
// layout's (it restarted, or another front-end uploaded a layout), the layout
// and the effect go up again, and with them what the lights listen to.
// Without a layout (none chosen yet) it finds the daemon, so that uploads can
// be tried, but polls nothing until one is chosen. While the pause state says
// so it polls nothing either (a layout posted meanwhile is still tried, and
// changed choices wait for the resume); after a sleep the layout and the
// effect go up again. Logs each of these events once, nothing per poll.
class HostLoop {
public:
    using FrameSink = std::function<void(uint16_t port, const EffectState&)>;

    // wantedPort: the daemon's port, or 0 for the first of 9191-9199 that answers.
    HostLoop(DaemonApi& api, const StopSignal& stop, HostChoices& choices, const PauseState& pause,
             uint16_t wantedPort, FrameSink frames = {});

    enum class Outcome { Stopped, LayoutRejected };
    // Runs on the calling thread until the stop is requested, or until the
    // daemon rejects the chosen layout (which no retry would change).
    Outcome Run();

    // Keeps the daemon's one-second frame window open with room for a late
    // reply, at half the wake-ups of the preview's pace.
    static constexpr int kKeepAlivePeriodMs = 400;
    static constexpr int kPreviewPeriodMs = 200;
    static constexpr int kSearchPeriodMs = 1000;

private:
    bool Connect();
    void Lose();
    void TakeChoices();
    // While paused: takes changed choices and a posted layout, then waits one poll period.
    void WaitWhilePaused();
    // Tries a layout the settings API posted; false when the daemon is gone.
    bool TryPostedLayout();
    // Sends the listen and delay choice; false when the daemon is gone.
    bool SendSource();

    DaemonApi& m_api;
    const StopSignal& m_stop;
    HostChoices& m_choices;
    uint64_t m_choicesVersion = 0;
    const PauseState& m_pause;
    uint64_t m_wakesSeen = 0;
    EffectSettings m_effect;
    CaptureSource m_listen;
    CaptureDelay m_delay;
    uint16_t m_wantedPort;
    std::string m_layoutJson;
    std::string m_layoutName;
    FrameSink m_frames;

    uint16_t m_port = 0;      // 0: no daemon
    bool m_everFound = false;
    bool m_saidMissing = false;
    bool m_needLayout = true;
    bool m_needEffect = true;
    bool m_needSource = true;
    EffectState m_expected;  // the keys the daemon reported right after our upload
    std::string m_toldSource;  // the source choice last logged as taken
    std::string m_expectedPlaces;  // their places as KeyPlacesText gives them
    std::string m_places;          // the latest reply's, its storage reused from poll to poll
};
