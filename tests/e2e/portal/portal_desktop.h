#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// What a Wayland desktop offers for screen sharing, for the portal tests, with
// stand-ins only where the desktop itself would be: a private session bus
// (dbus-daemon, starting nothing by activation), PipeWire and WirePlumber,
// the test's ScreenCast backend (screencast_backend.py), the permission store
// and the real portal front-end (xdg-desktop-portal), and a video source
// painting known colours (test_screen_source). All run with a private
// XDG_RUNTIME_DIR, HOME and XDG_STATE_HOME. Each process is started here and
// stopped here by its pid, the last first, also when a test fails.
class PortalDesktop {
public:
    PortalDesktop();
    ~PortalDesktop();
    PortalDesktop(const PortalDesktop&) = delete;
    PortalDesktop& operator=(const PortalDesktop&) = delete;

    // Starts everything, the screen showing `picture` (see Paint); false,
    // with the reason, when a piece does not come up in time.
    bool Start(const std::string& picture, std::string& why);
    void Stop();

    // "solid RRGGBB" or "halves RRGGBB RRGGBB" (left, right).
    void Paint(const std::string& picture) const;
    // The screen's source ends as a crash would, and its node with it.
    void KillSource();
    bool StartSource(std::string& why);
    // From now on the user declines (or no longer does).
    void Decline(bool declining) const;

    // The environment a daemon on this desktop gets.
    std::vector<std::pair<std::string, std::string>> DaemonEnv() const;
    std::string BackendLog() const;
    std::string TokenPath() const;
    // The servers' output, for a failing test's message.
    std::string ServerLogs() const;

private:
    struct Server {
        std::string name;
        pid_t pid;
    };

    pid_t Launch(const std::string& name, const std::vector<std::string>& argv);
    bool NameOnBus(const std::string& name) const;
    static void End(pid_t pid);

    std::string m_dir;
    std::vector<std::pair<std::string, std::string>> m_env;
    std::vector<Server> m_servers;  // in the order started
    pid_t m_source = -1;
};
