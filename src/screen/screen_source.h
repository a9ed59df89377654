#pragma once

#include <chrono>
#include <functional>
#include <string_view>

// Where the screen's colours come from on Linux. An X11 session is read
// through its X server. A Wayland session's X server (XWayland) shows native
// windows as black, so there the desktop's ScreenCast portal is asked for a
// video stream of a monitor, when it offers one.
enum class ScreenSource { X11, Portal };

// XDG_SESSION_TYPE's value (empty when unset) and, asked only for a Wayland
// session, whether the portal offers monitors.
ScreenSource ChooseScreenSource(std::string_view sessionType, const std::function<bool()>& portalOffersMonitors);

// The waits between attempts to get the portal's stream after a failure:
// 2 s, doubling up to 60 s, and 2 s again after a success.
class RetrySchedule {
public:
    static constexpr std::chrono::seconds kFirst{2};
    static constexpr std::chrono::seconds kLongest{60};

    // The wait before the next attempt; each call doubles the one after.
    std::chrono::seconds Next();
    void Reset() { m_next = kFirst; }

private:
    std::chrono::seconds m_next = kFirst;
};
