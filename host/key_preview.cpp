#include "key_preview.h"

#include <algorithm>
#include <map>
#include <utility>

std::string RenderKeyPreview(uint16_t port, const EffectState& state)
{
    std::string text = "\x1b[H\x1b[0mtonvik-host: daemon on port " + std::to_string(port);
    if (!state.isEffect) {
        return text + ", no keys to show (the layout has fewer than 2 rows or columns)\x1b[K\n\x1b[J";
    }
    text += ", mode " + std::to_string(state.mode) + ", " + std::to_string(state.keys.size()) + " keys\x1b[K\n";
    int rows = 0;
    int cols = 0;
    std::map<std::pair<int, int>, uint32_t> colours;
    for (const ReportedKey& key : state.keys) {
        // The daemon's grid is at most 10 x 100; anything else is not drawn.
        if (key.row < 0 || key.row >= 10 || key.col < 0 || key.col >= 100) {
            continue;
        }
        rows = std::max(rows, key.row + 1);
        cols = std::max(cols, key.col + 1);
        if (key.keyCode > 0) {
            colours[{key.row, key.col}] = key.rgb;
        }
    }
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const auto found = colours.find({r, c});
            if (found == colours.end()) {
                text += "\x1b[0m   ";
                continue;
            }
            const uint32_t rgb = found->second;
            text += "\x1b[48;2;" + std::to_string(rgb >> 16 & 0xFF) + ";" + std::to_string(rgb >> 8 & 0xFF) + ";" +
                    std::to_string(rgb & 0xFF) + "m  \x1b[0m ";
        }
        text += "\x1b[0m\x1b[K\n";
    }
    return text + "\x1b[J";
}
