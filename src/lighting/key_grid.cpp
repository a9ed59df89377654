#include "lighting/key_grid.h"

#include <algorithm>

int KeyGrid::ActiveRows() const
{
    return std::clamp<int32_t>(m_nKeyRows, 0, kMaxKeyRows);
}

int KeyGrid::ActiveCols() const
{
    return std::clamp<int32_t>(m_nKeyCols, 0, kMaxKeyCols);
}

void KeyGrid::ComputeSampleCoordinates()
{
    const int32_t rows = m_nKeyRows;
    const int32_t cols = m_nKeyCols;
    if (rows <= 0 || cols <= 0) {
        return;
    }
    for (auto& sample : m_rowSample) {
        sample = 0;
    }
    for (auto& sample : m_colSample) {
        sample = 0;
    }
    const int32_t rowStep = 62 / rows;
    const int32_t colStep = 255 / cols;
    for (int r = 0; r < std::min<int32_t>(rows, kMaxKeyRows); ++r) {
        const float coordinate = static_cast<float>(rowStep * r + 2) + static_cast<float>(rowStep) * 0.5f;
        m_rowSample[r] = static_cast<int32_t>(coordinate);
    }
    for (int c = 0; c < std::min<int32_t>(cols, kMaxKeyCols); ++c) {
        m_colSample[c] = colStep * c;
    }
}
