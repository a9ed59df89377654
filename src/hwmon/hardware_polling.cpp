#include "hwmon/hardware_polling.h"

#include "base/clock.h"
#include "base/thread_name.h"
#include "base/thread_start.h"

HardwarePolling::HardwarePolling(HardwareMonitor& monitor, SnapshotTarget target)
    : m_monitor(monitor), m_target(target)
{
}

HardwarePolling::~HardwarePolling()
{
    Stop();
}

void HardwarePolling::Start()
{
    // The exchange guards against a second start.
    if (m_bRunning.exchange(true)) {
        return;
    }
    m_thread = TryStartThread("hardware polling", &HardwarePolling::Loop, this);
    if (!m_thread.joinable()) {
        m_bRunning.exchange(false);
    }
}

void HardwarePolling::Stop()
{
    {
        // Under the wait's lock, so the loop cannot miss the wake-up between
        // its test of the flag and its wait.
        std::lock_guard lock(m_waitMutex);
        m_bRunning.exchange(false);
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void HardwarePolling::WaitWhileRunning(std::chrono::milliseconds period)
{
    std::unique_lock lock(m_waitMutex);
    m_wake.wait_for(lock, period, [this] { return !m_bRunning; });
}

void HardwarePolling::Loop()
{
    NameCurrentThread("tonvik-hw");
    while (m_bRunning && !m_monitor.Open()) {
        WaitWhileRunning(kOpenRetry);
    }
    HardwarePoller poller(m_monitor, m_target, TickCount64);
    while (m_bRunning) {
        poller.Pass();
        const uint64_t due = poller.NextDueTick();
        const uint64_t now = TickCount64();
        // At least a millisecond, so a wait that ends a little early cannot spin.
        WaitWhileRunning(std::chrono::milliseconds(due > now ? due - now : 1));
    }
}
