// tonvik-host: the headless host on Linux. Stop signals are taken by a thread
// of their own; the host loop runs on the main thread, the web server (with
// --web) on another.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/signal_name.h"
#include "base/version.h"
#include "host_run.h"
#include "key_preview.h"
#include "logind_watch.h"

namespace {

// Ends the signal thread when the host stops for a reason of its own.
constexpr int kWakeSignal = SIGUSR1;

}  // namespace

int main(int argc, char* argv[])
{
    SetLogName("tonvik-host");
    const HostStart start = LoadHostSettings(std::vector<std::string>(argv + 1, argv + argc), false);
    switch (start.command.action) {
    case HostCommand::Action::Help:
        std::fputs(HostUsage("tonvik-host").c_str(), stdout);
        return kHostExitStopped;
    case HostCommand::Action::Version:
        std::puts("tonvik-host " TONVIK_VERSION);
        return kHostExitStopped;
    case HostCommand::Action::UsageError:
        std::fprintf(stderr, "tonvik-host: %s\n%s", start.command.error.c_str(), HostUsage("tonvik-host").c_str());
        return kHostExitUsage;
    case HostCommand::Action::Run:
        break;
    }
    if (!start.confError.empty()) {
        LogError(start.confError);
        return kHostExitConfigError;
    }
    const HostSettings& settings = start.settings;
    if (!settings.web && settings.layoutPath.empty()) {
        std::fprintf(stderr, "tonvik-host: no layout: give --layout FILE (or 'layout = FILE' in host.conf), or --web\n%s",
                     HostUsage("tonvik-host").c_str());
        return kHostExitUsage;
    }

    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, kWakeSignal}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    LogInfo("starting version " TONVIK_VERSION " (pid " + std::to_string(::getpid()) + ")");

    StopSignal stop;
    std::thread signalThread;
    try {
        signalThread = std::thread([&signals, &stop] {
            int signal = 0;
            if (sigwait(&signals, &signal) == 0 && signal != kWakeSignal) {
                LogInfo(std::string("stopping on ") + SignalName(signal));
            }
            stop.Request();
        });
    } catch (const std::system_error&) {
        LogError("no thread could be started to wait for the stop signals");
        return kHostExitConfigError;
    }

    HostLoop::FrameSink frames;
    const bool preview = settings.preview && ::isatty(STDOUT_FILENO) == 1;
    if (settings.preview && !preview) {
        LogWarning("--preview draws only on a terminal, and standard output is none: no preview");
    }
    if (preview) {
        std::fputs(kPreviewStart, stdout);
        frames = [](uint16_t port, const EffectState& state) {
            const std::string text = RenderKeyPreview(port, state);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        };
    }
    PauseState pause(settings.pauseWhenLocked);
    const std::unique_ptr<SessionFollower> session = FollowLogindSession(pause);
    const int status = RunHost(settings, TONVIK_DATA_DIR, stop, pause, frames);
    if (preview) {
        std::fputs(kPreviewEnd, stdout);
        std::fflush(stdout);
    }
    pthread_kill(signalThread.native_handle(), kWakeSignal);
    signalThread.join();
    LogInfo("stopped");
    return status;
}
