#pragma once

#include <cstdint>

#include "base/relaxed.h"

// The desktop colour grid: one 0x00BBGGRR colour per key cell, addressed
// column first (cell c, r is element c * kRows + r).
//
// It holds the largest layout the daemon accepts (100 columns of 10 rows), so
// every key of every layout takes its colour from its own part of the screen
// and the grid never has to grow. The sampler thread writes it while the
// lighting thread reads it; relaxed words make a frame that mixes two passes
// harmless.
struct ScreenGrid {
    static constexpr int kColumns = 100;
    static constexpr int kRows = 10;

    Relaxed<uint32_t> cells[kColumns * kRows];

    // Black outside the grid.
    uint32_t At(int column, int row) const
    {
        return Contains(column, row) ? cells[column * kRows + row].load() : 0u;
    }
    // Does nothing outside the grid.
    void Set(int column, int row, uint32_t color)
    {
        if (Contains(column, row)) {
            cells[column * kRows + row] = color;
        }
    }
    void Clear()
    {
        for (auto& cell : cells) {
            cell = 0u;
        }
    }
    static bool Contains(int column, int row)
    {
        return column >= 0 && column < kColumns && row >= 0 && row < kRows;
    }
};
