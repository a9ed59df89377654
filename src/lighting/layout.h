#pragma once

#include <string>

#include "lighting/key_grid.h"

class CommandQueue;
class ScreenLight;

// Where a parsed layout goes: the key grid, the layout identity, the screen
// sampler's grid size and the lighting worker's command queue.
struct LayoutTargets {
    KeyGrid& grid;
    LayoutIdentity& identity;
    ScreenLight& screen;
    CommandQueue& commands;
};

// Replaces the grid's description and the layout identity from the layout JSON
// (percent-encoded, optionally behind "data="). Reports nothing: parse and
// conversion errors end it quietly, keeping what was stored before them.
void ParseLayout(const std::string& text, LayoutTargets targets);

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
