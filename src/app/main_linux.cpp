// The Linux process shell: the command line, a single instance, the main
// object built and initialised, then a wait for a stop signal and the orderly
// shutdown.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/kolvex_dlg.h"
#include "app/single_instance.h"
#include "base/log.h"
#include "base/signal_name.h"
#include "base/version.h"

namespace {

constexpr int kUsageExitCode = 2;

// Every thread is started with the stop signals blocked; the main thread takes
// them synchronously. A write to a vanished client must not kill us.
sigset_t BlockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // The terminal the daemon was started from went away: stop in order too.
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

}  // namespace

int main(int argc, char* argv[])
{
    const CommandLine options = ParseCommandLine(argc, argv);
    switch (options.action) {
    case CommandLine::Action::Help:
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::puts("tonvik " TONVIK_VERSION);
        return 0;
    case CommandLine::Action::UsageError:
        std::fprintf(stderr, "tonvik: %s\n%s", options.error.c_str(), UsageText().c_str());
        return kUsageExitCode;
    case CommandLine::Action::Run:
        break;
    }
    if (options.verbose) {
        SetVerboseLogging(true);
    }

    SingleInstance instance;
    if (instance.AnotherIsRunning()) {
        if (instance.OtherPid() > 0) {
            std::fprintf(stderr, "tonvik is already running (pid %lld)\n", static_cast<long long>(instance.OtherPid()));
        } else {
            std::fputs("tonvik is already running\n", stderr);
        }
        return 0;
    }

    sigset_t stopSignals = BlockStopSignals();
    LogInfo("starting version " TONVIK_VERSION " (pid " + std::to_string(::getpid()) + ")");

    auto dlg = std::make_unique<CKolvexDlg>();
    dlg->ListenOn(options.listenAddress);
    dlg->OnInitDialog();

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    LogInfo(std::string("stopping on ") + SignalName(received));
    dlg->DestroyWindow();
    dlg.reset();
    LogInfo("stopped");
    return 0;
}
