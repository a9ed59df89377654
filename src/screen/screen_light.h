#pragma once

#include <cstdint>

#include "base/relaxed.h"

// The desktop colour grid: one colour per key cell, 30 columns of 8 rows,
// addressed column first (cell c, r is element c * 8 + r).
class ScreenLight {
public:
    static constexpr int kGridColumns = 30;
    static constexpr int kGridRows = 8;

    // The colour of cell (column, row); cells beyond the grid's capacity are black.
    uint32_t ColorAt(int column, int row) const
    {
        if (column < 0 || column >= kGridColumns || row < 0 || row >= kGridRows) {
            return 0;
        }
        return m_colors[column * kGridRows + row];
    }

    Relaxed<bool> m_bRunning{true};
    Relaxed<bool> m_bEnabled{false};
    Relaxed<int32_t> m_nColumns{22};
    Relaxed<int32_t> m_nRows{6};
    Relaxed<uint32_t> m_colors[kGridColumns * kGridRows];
};
