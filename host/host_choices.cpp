#include "host_choices.h"

#include <chrono>
#include <utility>

HostChoices::HostChoices(Choices initial) : m_choices(std::move(initial)) {}

Choices HostChoices::Current(uint64_t* version) const
{
    std::lock_guard lock(m_mutex);
    if (version != nullptr) {
        *version = m_version;
    }
    return m_choices;
}

uint64_t HostChoices::Version() const
{
    std::lock_guard lock(m_mutex);
    return m_version;
}

void HostChoices::Set(Choices choices)
{
    {
        std::lock_guard lock(m_mutex);
        m_choices = std::move(choices);
        ++m_version;
    }
    m_news.notify_all();
}

bool HostChoices::WaitForNews(uint64_t seenVersion, int ms)
{
    std::unique_lock lock(m_mutex);
    return m_news.wait_for(lock, std::chrono::milliseconds(ms),
                           [&] { return m_trial.has_value() || m_version != seenVersion; });
}

HostChoices::Trial HostChoices::TryLayout(const std::string& layoutJson, int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    if (m_daemonPort == 0) {
        return {};
    }
    m_trial = layoutJson;
    const uint64_t number = ++m_trialNumber;
    m_news.notify_all();
    const bool answered = m_answered.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                              [&] { return m_answeredNumber >= number || m_daemonPort == 0; });
    if (!answered || m_answeredNumber < number) {
        // Not taken in time (or the daemon went): nobody will try it now.
        if (m_takenNumber < number) {
            m_trial.reset();
        }
        return {};
    }
    return m_answer;
}

uint16_t HostChoices::DaemonPort() const
{
    std::lock_guard lock(m_mutex);
    return m_daemonPort;
}

void HostChoices::SetDaemonPort(uint16_t port)
{
    {
        std::lock_guard lock(m_mutex);
        m_daemonPort = port;
    }
    m_answered.notify_all();
}

std::optional<std::string> HostChoices::TakeTrial()
{
    std::lock_guard lock(m_mutex);
    std::optional<std::string> trial = std::move(m_trial);
    m_trial.reset();
    if (trial) {
        m_takenNumber = m_trialNumber;
    }
    return trial;
}

void HostChoices::Answer(Trial trial)
{
    {
        std::lock_guard lock(m_mutex);
        m_answer = std::move(trial);
        m_answeredNumber = m_takenNumber;
    }
    m_answered.notify_all();
}
