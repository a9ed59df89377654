#pragma once

#include <cstdint>

#include "pause_state.h"

// The Windows launcher's window, told of its session (lock, unlock, the
// console taken by another session and given back) and of the system's
// sleep, sets the pause state from those messages. Windows only.
struct HWND__;

// Reads whether the session is locked or away from the console now, so a
// launcher started so starts paused, then asks for the session messages to
// come to the window (power messages come to every top-level window). Logs
// when they are refused; the launcher then runs as if always active.
void ListenForSessionMessages(HWND__* window, PauseState& pause);
// Before the window goes.
void StopListeningForSessionMessages(HWND__* window);

// Applies a window message; false when it is none of these.
bool ApplySessionMessage(PauseState& pause, unsigned message, uintptr_t wParam);
