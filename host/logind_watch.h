#pragma once

#include <memory>

#include "pause_state.h"

// While it lives, the login session the host belongs to and the system's
// sleep, followed into the pause state (Linux: logind on the system bus).
class SessionFollower {
public:
    virtual ~SessionFollower() = default;
};

// Finds the session (logind's GetSession with $XDG_SESSION_ID, else
// GetSessionByPID, else the user's display session), reads whether it is
// locked and active before it returns, so a host started on a locked or
// switched-away session starts paused, then follows its changes and the
// manager's PrepareForSleep on a thread of its own. Without a system bus or
// logind: one log line and nullptr; the host then runs as if always active.
std::unique_ptr<SessionFollower> FollowLogindSession(PauseState& pause);
