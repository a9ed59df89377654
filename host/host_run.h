#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host_loop.h"
#include "host_settings.h"
#include "pause_state.h"
#include "stop_signal.h"

// Exit statuses of a host program.
constexpr int kHostExitStopped = 0;
constexpr int kHostExitConfigError = 1;  // host.conf, the layout file, a rejected layout, no port for the web
constexpr int kHostExitUsage = 2;

// The settings of one run: host.conf (when it exists), then the command line over it.
struct HostStart {
    HostSettings settings;
    HostCommand command;
    std::string confError;  // host.conf could not be read or has a bad line
};
HostStart LoadHostSettings(const std::vector<std::string>& args, bool hideAllowed);

// Runs what the settings ask for until the stop: the web server and its
// settings API on a thread of its own (with web; webReady is told its
// address once it serves), the host loop on the calling thread (with a
// layout, or with web: then it waits for the console to choose one), which
// leaves the daemon alone while pause says so. webDataDir holds web/ and
// layouts/ (the bundled layouts). hosting, when given, is told the choices
// the host keeps once it hosts, and nullptr before they go away (from the
// calling thread).
// Logs why it ends early; returns the exit status.
int RunHost(const HostSettings& settings, const std::string& webDataDir, StopSignal& stop, const PauseState& pause,
            HostLoop::FrameSink frames = {}, const std::function<void(const std::string& url)>& webReady = {},
            const std::function<void(const HostChoices* choices)>& hosting = {});
