#pragma once

#include <string>

// The ScreenCast portal's restore token: what lets the desktop restore the
// user's choice of screen without asking again. It is a secret of sorts (it
// stands for the user's consent), so it is never logged, and it is kept in
// $XDG_STATE_HOME/tonvik/screencast-restore-token (~/.local/state when the
// variable is unset), readable by the user alone. Each token is good for one
// session: the portal hands a new one after every start, which replaces it.

// The stored token; empty when there is none (or it cannot be read).
std::string LoadRestoreToken();

// Replaces the stored token as a whole (a new file renamed over the old one,
// mode 0600, in a directory of mode 0700); an empty token removes it. False
// when it could not be written.
bool StoreRestoreToken(const std::string& token);
