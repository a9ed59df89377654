#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/relaxed.h"
#include "hwmon/hardware_monitor.h"
#include "hwmon/hardware_poller.h"

// The hardware polling thread. It opens the monitor (trying again every
// second until it opens), then keeps the snapshot current with the poller's
// passes until stopped. The monitor and the snapshot are lent by the owner
// and must outlive the thread; the monitor stays open after the stop, for the
// owner to close.
class HardwarePolling {
public:
    // The sensor source is tried again this often until it opens. Between
    // two passes the thread waits, in one timed wait, until the next read is due.
    static constexpr std::chrono::milliseconds kOpenRetry{1000};

    HardwarePolling(HardwareMonitor& monitor, SnapshotTarget target);
    // Stops the thread.
    ~HardwarePolling();
    HardwarePolling(const HardwarePolling&) = delete;
    HardwarePolling& operator=(const HardwarePolling&) = delete;

    // Starts the thread; does nothing while it runs. When the system cannot
    // create one, logs it and goes on without.
    void Start();
    // Wakes the thread and joins it; at once, whatever it was waiting for.
    // Safe to call more than once.
    void Stop();
    // A thread is running (on the owner's thread, between Start and Stop).
    bool Running() const { return m_thread.joinable(); }

private:
    void Loop();
    // Sleeps the period, or less when stopped meanwhile.
    void WaitWhileRunning(std::chrono::milliseconds period);

    HardwareMonitor& m_monitor;
    SnapshotTarget m_target;
    std::thread m_thread;
    Relaxed<bool> m_bRunning{false};  ///< set by Start, cleared by Stop under m_waitMutex (owner's thread), by exchange
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
};
