#include "pause_state.h"

#include <string>

#include "base/log.h"

namespace {

uint8_t Bit(PauseReason reason)
{
    return static_cast<uint8_t>(1u << static_cast<unsigned>(reason));
}

const char* PauseText(PauseReason reason)
{
    switch (reason) {
    case PauseReason::SessionLocked:
        return "the session is locked";
    case PauseReason::SessionInactive:
        return "the session is not the active one on its seat";
    case PauseReason::Sleeping:
        return "the system is going to sleep";
    case PauseReason::User:
        return "lighting paused by the user";
    }
    return "";
}

const char* ResumeText(PauseReason reason)
{
    switch (reason) {
    case PauseReason::SessionLocked:
        return "the session is unlocked";
    case PauseReason::SessionInactive:
        return "the session is the active one again";
    case PauseReason::Sleeping:
        return "the system woke up";
    case PauseReason::User:
        return "lighting resumed by the user";
    }
    return "";
}

}  // namespace

void PauseState::Set(PauseReason reason, bool on)
{
    // Logged under the lock, so the lines come in the order of the changes.
    std::lock_guard lock(m_mutex);
    if (((m_reasons & Bit(reason)) != 0) == on) {
        return;
    }
    const bool wasPaused = PausedLocked();
    m_reasons = static_cast<uint8_t>(on ? m_reasons | Bit(reason) : m_reasons & ~Bit(reason));
    if (reason == PauseReason::Sleeping && !on) {
        ++m_wakes;
    }
    const bool paused = PausedLocked();
    if (paused && !wasPaused) {
        LogInfo(std::string("pausing: ") + PauseText(reason));
    } else if (!paused && wasPaused) {
        LogInfo(std::string("resuming: ") + ResumeText(reason));
    }
}

bool PauseState::Paused() const
{
    std::lock_guard lock(m_mutex);
    return PausedLocked();
}

uint64_t PauseState::Wakes() const
{
    std::lock_guard lock(m_mutex);
    return m_wakes;
}

bool PauseState::PausedLocked() const
{
    const uint8_t ignored = m_pauseWhenLocked ? 0 : Bit(PauseReason::SessionLocked);
    return (m_reasons & ~ignored) != 0;
}
