#pragma once

#include <optional>
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

// Reads a layout document (JSON; the route has undone its HTTP encoding) on
// the API server thread. The whole document is read into a scratch copy
// first; only when all of it is accepted is it committed, at once: key cells,
// layout identity, grid size, the screen sampler's grid size, then the sample
// coordinates and the start-lighting command (these two only when "keys" is an
// array). The grid's words are rewritten in place while the lighting worker
// reads them, so a frame may mix old and new cells; nothing is allocated on its
// side. Sizes above the capacity are lowered to it and keys outside the matrix
// are skipped, as ever.
//
// A document that is not JSON, or whose members cannot be read as the types
// they stand for (text or 1e30 where an integer goes, a key that is not an
// object, ...), changes nothing at all. Returns the reason in plain English
// ("layout rejected: ..."), or nothing when the document was taken. Either
// outcome is logged in one line.
std::optional<std::string> ParseLayout(const std::string& document, LayoutTargets targets);

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
