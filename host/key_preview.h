#pragma once

#include <cstdint>
#include <string>

#include "daemon_api.h"

// The key grid as terminal text: one cell of two blanks per matrix position,
// painted with the key's reported colour as a 24-bit background
// ("ESC[48;2;R;G;Bm"); positions without a key stay unpainted. Starts at the
// top left of the screen and clears each line's rest, so drawing it again
// redraws it in place; a status line above the grid names the port, the mode
// and the number of keys.
std::string RenderKeyPreview(uint16_t port, const EffectState& state);

// Clears the screen and hides the cursor before the first preview, and shows
// the cursor again at the end.
constexpr char kPreviewStart[] = "\x1b[2J\x1b[?25l";
constexpr char kPreviewEnd[] = "\x1b[0m\x1b[?25h\n";
