#pragma once

#include <deque>
#include <mutex>
#include <optional>

constexpr int CMD_START_ANALYSIS = 1;
constexpr int CMD_START_LIGHTING = 2;

// The lighting worker's command FIFO: filled by the window thread and the API
// thread, drained one command per tick by the lighting thread.
class CommandQueue {
public:
    void Push(int command)
    {
        std::lock_guard lock(m_mutex);
        m_commands.push_back(command);
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
    std::deque<int> m_commands;
};
