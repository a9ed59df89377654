#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// The request to stop, shared by the loops of a host and whoever ends them
// (a signal thread, a window message). Waits end at once when it comes.
class StopSignal {
public:
    void Request()
    {
        {
            std::lock_guard lock(m_mutex);
            m_requested = true;
        }
        m_changed.notify_all();
    }

    bool Requested() const
    {
        std::lock_guard lock(m_mutex);
        return m_requested;
    }

    // Waits up to ms; true when the stop was requested.
    bool WaitFor(int ms) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_requested; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_requested = false;
};
