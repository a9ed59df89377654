#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "host_settings.h"

// What the host keeps the daemon doing: the layout document, the effect, and
// what the lights listen to.
struct Choices {
    std::string layoutJson;
    std::string layoutName;  // names the layout in the log (its file or bundled name)
    EffectSettings effect;
    CaptureSource listen;
    CaptureDelay delay;
};

// The user's current choices, shared by the host loop (which applies them to
// the daemon, on its own thread) and the settings API (which changes them, on
// the web server's thread). Every Set counts up the version, so the loop can
// tell cheaply that something changed.
//
// A layout the user uploads is tried on the daemon before it is kept: the
// settings API asks through TryLayout, and the loop, the one front-end that
// talks to the daemon while the host runs, does the upload between two polls
// and answers. One mutex guards all of it.
class HostChoices {
public:
    explicit HostChoices(Choices initial);

    Choices Current(uint64_t* version = nullptr) const;
    uint64_t Version() const;
    void Set(Choices choices);

    enum class Verdict { Accepted, Rejected, NoDaemon };
    struct Trial {
        Verdict verdict = Verdict::NoDaemon;
        std::string reason;  // for Rejected: the daemon's own words
    };
    // Web thread: has the loop upload the layout and waits for the daemon's
    // verdict (NoDaemon at once while no daemon is found, or after timeoutMs).
    Trial TryLayout(const std::string& layoutJson, int timeoutMs);
    uint16_t DaemonPort() const;

    // Loop thread: the daemon's port (0: none found); the layout waiting to
    // be tried, taken once; and the verdict on it.
    void SetDaemonPort(uint16_t port);
    std::optional<std::string> TakeTrial();
    void Answer(Trial trial);
    // Loop thread: waits up to ms for news (a layout to try, or choices of a
    // version other than seenVersion); true when there is some.
    bool WaitForNews(uint64_t seenVersion, int ms);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_answered;
    std::condition_variable m_news;
    Choices m_choices;
    uint64_t m_version = 1;
    uint16_t m_daemonPort = 0;
    std::optional<std::string> m_trial;  // posted, not yet taken by the loop
    uint64_t m_trialNumber = 0;          // of the latest posted trial
    uint64_t m_answeredNumber = 0;       // of the latest trial taken and answered
    uint64_t m_takenNumber = 0;
    Trial m_answer;
};
