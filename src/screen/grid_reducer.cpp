#include "screen/grid_reducer.h"

namespace {

// Red and blue are summed in the two 16-bit lanes of one word, green in a word
// of its own: 256 pixels of 255 cannot carry out of a lane.
constexpr int kChunkPixels = 256;

uint32_t Mean(uint64_t sum, uint64_t count)
{
    return static_cast<uint32_t>((sum + count / 2) / count);
}

}  // namespace

void GridReducer::Reduce(const PictureView& picture, int columns, int rows, ScreenGrid& grid)
{
    const int width = picture.width;
    const int height = picture.height;
    if (picture.pixels == nullptr || width <= 0 || height <= 0 || picture.stride < static_cast<size_t>(width)) {
        return;
    }
    columns = std::clamp(columns, 0, std::min(ScreenGrid::kColumns, width));
    rows = std::clamp(rows, 0, std::min(ScreenGrid::kRows, height));
    if (columns == 0 || rows == 0) {
        return;
    }
    for (int c = 0; c <= columns; ++c) {
        m_edges[c] = static_cast<int>(static_cast<int64_t>(c) * width / columns);
    }
    for (int r = 0; r < rows; ++r) {
        const int top = static_cast<int>(static_cast<int64_t>(r) * height / rows);
        const int bottom = static_cast<int>(static_cast<int64_t>(r + 1) * height / rows);
        std::fill(m_sums, m_sums + columns, Sum{});
        for (int y = top; y < bottom; ++y) {
            AddRow(picture.pixels + static_cast<size_t>(y) * picture.stride, columns);
        }
        for (int c = 0; c < columns; ++c) {
            const uint64_t count = static_cast<uint64_t>(m_edges[c + 1] - m_edges[c]) * static_cast<uint64_t>(bottom - top);
            const Sum& sum = m_sums[c];
            m_cells[c * ScreenGrid::kRows + r] =
                0xFF000000u | Mean(sum.red, count) << 16 | Mean(sum.green, count) << 8 | Mean(sum.blue, count);
        }
    }
    StoreCells(grid, columns, rows,
               [this](int c, int r) { return std::optional<uint32_t>(m_cells[c * ScreenGrid::kRows + r]); });
}

void GridReducer::AddRow(const uint32_t* line, int columns)
{
    for (int c = 0; c < columns; ++c) {
        Sum& sum = m_sums[c];
        int x = m_edges[c];
        const int end = m_edges[c + 1];
        while (x < end) {
            const int chunkEnd = std::min(end, x + kChunkPixels);
            uint32_t redBlue = 0;
            uint32_t green = 0;
            for (; x < chunkEnd; ++x) {
                const uint32_t pixel = line[x];
                redBlue += pixel & 0x00FF00FFu;
                green += pixel & 0x0000FF00u;
            }
            sum.blue += redBlue & 0xFFFFu;
            sum.red += redBlue >> 16;
            sum.green += green >> 8;
        }
    }
}
