#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

constexpr int CMD_START_ANALYSIS = 1;
constexpr int CMD_START_LIGHTING = 2;

// The lighting worker's command FIFO: filled by the window thread and the API
// thread, drained one command per tick by the lighting thread. A resting
// lighting thread waits on it, so a command pushed then runs at once.
class CommandQueue {
public:
    void Push(int command)
    {
        {
            std::lock_guard lock(m_mutex);
            m_commands.push_back(command);
        }
        m_pushed.notify_all();
    }

    // Waits until a command is queued or `done()` holds. `done` reads words
    // that other threads change; each such change is followed by Notify.
    template <typename Done>
    void WaitForCommandOr(Done done)
    {
        std::unique_lock lock(m_mutex);
        m_pushed.wait(lock, [&] { return !m_commands.empty() || done(); });
    }

    // The same, for at most `limit`.
    template <typename Done>
    void WaitForCommandOr(Done done, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        m_pushed.wait_for(lock, limit, [&] { return !m_commands.empty() || done(); });
    }

    // Wakes a waiter to look at its `done` again. Taking the lock orders the
    // caller's change before the waiter's next look.
    void Notify()
    {
        { std::lock_guard lock(m_mutex); }
        m_pushed.notify_all();
    }

    std::optional<int> Pop()
    {
        std::lock_guard lock(m_mutex);
        if (m_commands.empty()) {
            return std::nullopt;
        }
        const int command = m_commands.front();
        m_commands.pop_front();
        return command;
    }

    size_t Size() const
    {
        std::lock_guard lock(m_mutex);
        return m_commands.size();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_pushed;
    std::deque<int> m_commands;
};
