// Start-up on a system that cannot create one more thread: every worker start
// really fails (no address space is left for a thread stack), and start-up goes
// on without those workers, one log line each, instead of ending the process.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "app/kolvex_dlg.h"

namespace {

// A loopback address of its own, so the listener never competes for the API
// ports with a daemon running on this machine.
constexpr uint32_t kTestListenAddress = 0x7F4D0001;  // 127.77.0.1

enum ChildExit { kAsExpected = 0, kWorkerRuns = 1, kThreadsStillStart = 2 };

rlim_t AddressSpaceInUse()
{
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

bool CanStartAThread()
{
    try {
        std::thread([] {}).join();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Runs in the death-test child, a fresh process with no cached thread stacks.
void StartUpWithoutThreads()
{
    rlimit saved{};
    ::getrlimit(RLIMIT_AS, &saved);
    // Room for small allocations, none for a thread's stack (8 MB by default).
    rlimit tight = saved;
    tight.rlim_cur = AddressSpaceInUse() + (4u << 20);
    ::setrlimit(RLIMIT_AS, &tight);
    if (CanStartAThread()) {
        std::exit(kThreadsStillStart);
    }

    // Built under the limit: its constructor starts the screen sampler.
    auto dlg = std::make_unique<CKolvexDlg>();
    dlg->ListenOn(kTestListenAddress);
    dlg->Analysis().InitVisualizer(nullptr);  // the frame loop without a sound server

    dlg->OnInitDialog();
    dlg->Analysis().StartThread();
    const uint32_t timer = dlg->StartPeriodicTimer(CTimer::kPeriodMs);
    const bool nothingRuns = !dlg->IsWorkerRunning() && !dlg->HardwarePollingRunning() &&
                             !dlg->ServerRunning() && !dlg->Analysis().Running() && timer == 0 &&
                             !dlg->ScreenSamplerRunning();

    ::setrlimit(RLIMIT_AS, &saved);
    dlg->DestroyWindow();
    dlg.reset();
    std::exit(nothingRuns ? kAsExpected : kWorkerRuns);
}

TEST(StartUp, GoesOnWhenNoWorkerThreadCanBeCreated)
{
    // A re-executed child: a forked one would inherit this process's cached
    // thread stacks and start threads without mapping new ones.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartUpWithoutThreads(), ::testing::ExitedWithCode(kAsExpected),
                "cannot start the screen sampler thread.*"
                "cannot start the lighting worker thread.*"
                "cannot start the hardware polling thread.*"
                "cannot start the API server thread.*"
                "cannot start the audio frame thread.*"
                "cannot start the timer thread");
}

}  // namespace
