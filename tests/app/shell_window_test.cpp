// The main window's answers to window requests, which on Windows arrive as
// system commands and size changes; the rules are portable.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app/kolvex_dlg.h"

namespace {

TEST(ShellWindow, MinimiseMaximiseAndRestoreAreTurnedIntoHiding)
{
    auto dlg = std::make_unique<CKolvexDlg>();
    EXPECT_TRUE(dlg->OnSysCommand(0xF020));  // SC_MINIMIZE
    EXPECT_TRUE(dlg->OnSysCommand(0xF030));  // SC_MAXIMIZE
    EXPECT_TRUE(dlg->OnSysCommand(0xF120));  // SC_RESTORE
    // Everything else, closing included, gets the default handling.
    for (uint32_t other : {0xF060u, 0xF010u, 0xF000u, 0xF100u, 0xF140u, 0xF170u}) {
        EXPECT_FALSE(dlg->OnSysCommand(other)) << std::hex << other;
    }
    EXPECT_EQ(dlg->OnControlNotify(1002, 2, 0, 0), 1);
}

class SelfStoppingWorker : public CThreadBasic {
public:
    ~SelfStoppingWorker() { StopWorker(); }
    void Run() override
    {
        m_nRuns = m_nRuns + 1;
        if (m_nRuns == 3) {
            StopWorker();  // from the worker itself: only the flag goes
        }
    }
    Relaxed<int> m_nRuns{0};
};

TEST(ShellWindow, AWorkerThatStopsItselfCanBeStartedAgain)
{
    SelfStoppingWorker worker;
    worker.StartWorker(1);
    for (int i = 0; i < 2000 && worker.IsWorkerRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(worker.IsWorkerRunning());
    EXPECT_EQ(worker.m_nRuns, 3);

    // The ended thread is collected before the next one starts.
    worker.m_nRuns = 0;
    worker.StartWorker(1);
    for (int i = 0; i < 2000 && worker.IsWorkerRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(worker.IsWorkerRunning());
    EXPECT_EQ(worker.m_nRuns, 3);
}

}  // namespace
