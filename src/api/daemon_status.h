#pragma once

#include <cstdint>
#include <string>

#include "device/keyboard_link.h"

// What the daemon has found, as the status route tells a front-end.
struct DaemonStatus {
    KeyboardState keyboard = KeyboardState::NotLookedFor;
    uint16_t vendorId = 0;   ///< the ids the keyboard is looked for under
    uint16_t productId = 0;
    bool soundConnected = false;  ///< a capture stream records
    std::string recording;        ///< what it records, as the user knows it
    bool playing = false;         ///< sound above silence within the last second
    bool resting = false;
};
