#pragma once

#include <cstdint>
#include <mutex>

// Why the host leaves the keyboard to itself for a while. Each reason is set
// and cleared on its own, by whoever sees it: the session watcher (locked,
// not the active session on its seat, going to sleep) or the user.
enum class PauseReason : uint8_t {
    SessionLocked,
    SessionInactive,
    Sleeping,
    User,  // "Pause lighting"
};

// The reasons in force, shared by the threads that see them and the host
// loop, which stops polling the daemon while any of them holds (the daemon
// then rests and the keyboard returns to its own idle). A locked session
// pauses only while pauseWhenLocked; a session that is not the active one
// pauses whatever that says, since the keyboard belongs to the person at it.
// Each pause and each resume is one line in the log. One mutex guards it all.
class PauseState {
public:
    explicit PauseState(bool pauseWhenLocked = true) : m_pauseWhenLocked(pauseWhenLocked) {}

    // Any thread: sets or clears one reason.
    void Set(PauseReason reason, bool on);
    // Whether the host leaves the daemon alone now.
    bool Paused() const;
    // Counts the ends of sleeps: after one the daemon may have lost the
    // keyboard or been restarted, so the loop sends the layout and the
    // effect again when it sees this change.
    uint64_t Wakes() const;

private:
    bool PausedLocked() const;

    mutable std::mutex m_mutex;
    const bool m_pauseWhenLocked;
    uint8_t m_reasons = 0;  // a bit per PauseReason
    uint64_t m_wakes = 0;
};
