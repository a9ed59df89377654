#pragma once

#include <cstdint>

#include "lighting/key_grid.h"

class Visualizer;

// Per grid column, how high the lit part reaches, counted in keys from the
// bottom row (bottom row = 1); 0 when nothing is lit.
struct ColumnLevels {
    uint8_t level[kMaxKeyCols] = {};
};

// The spectrum effect: every active cell takes the colour of the front frame at
// its sample point; cells under a bar raise their column's level.
void ColourSpectrumFrame(KeyGrid& grid, const Visualizer& visualizer, ColumnLevels& levels);
