#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host_choices.h"
#include "http_client.h"

// What the daemon's status route says about the keyboard; std::nullopt for a
// body that is no status reply.
std::optional<bool> KeyboardFoundInStatus(const std::string& body);

// What the launcher shows of itself: the tooltip of its notification icon
// and what "Open console" says when the daemon is away.
struct LauncherFacts {
    bool daemonAnswers = false;
    bool keyboardFound = false;
    bool paused = false;
    std::string layoutName;  // empty: no layout hosted
};
// "Tonvik: " and the most pressing of: "daemon not running", "paused", "no
// keyboard found", "no layout chosen", "lighting <layout>"; at most
// kMaxTooltipChars characters (a long layout name is cut).
std::string LauncherTooltip(const LauncherFacts& facts);
constexpr size_t kMaxTooltipChars = 127;

// Watches the daemon through its status route, which never wakes a resting
// daemon nor keeps it lit, on a thread of its own: every pollMs it asks the
// port that answered last, else looks on 9191-9199. Calls changed (on that
// thread) when whether the daemon answers or has a keyboard changes, or the
// hosted layout's name. Without an HTTP client nothing ever answers. The
// destructor stops and joins the thread.
class DaemonWatch {
public:
    DaemonWatch(std::unique_ptr<HttpClient> http, int pollMs, std::function<void()> changed);
    ~DaemonWatch();
    DaemonWatch(const DaemonWatch&) = delete;
    DaemonWatch& operator=(const DaemonWatch&) = delete;

    struct Seen {
        bool answers = false;
        bool keyboardFound = false;
        uint16_t port = 0;
        // The hosted layout's own name (its document's "name", else how the
        // host names it); empty while none is hosted.
        std::string layoutName;
    };
    // Any thread: what the last poll saw.
    Seen Current() const;

    // Any thread: the choices the host keeps while it hosts (their layout
    // names the tooltip), nullptr before they go away.
    void SetHosted(const HostChoices* choices);

private:
    void Run();
    Seen Poll(uint16_t lastPort);
    std::string HostedLayoutName();

    std::unique_ptr<HttpClient> m_http;  // the watch thread's alone
    const int m_pollMs;
    const std::function<void()> m_changed;
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    bool m_stopping = false;
    Seen m_seen;
    const HostChoices* m_hosted = nullptr;
    // The watch thread's: the name of the hosted choices' version, read from the document once per version.
    const HostChoices* m_namedChoices = nullptr;
    uint64_t m_namedVersion = 0;
    std::string m_name;
    std::thread m_thread;  // last: started once the rest is set up
};
