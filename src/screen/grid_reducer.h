#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "screen/screen_grid.h"

// The picture a platform grabber hands over: 0xAARRGGBB words (BGRA bytes on
// a little-endian machine), rows from the top; alpha is ignored. With
// redFirst the words are 0xAABBGGRR (RGBA bytes), as some video streams send.
struct PictureView {
    const uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    size_t stride = 0;  // words from the start of one row to the next
    bool redFirst = false;
};

// 0xAARRGGBB to the grid's 0x00BBGGRR; alpha is dropped.
constexpr uint32_t ColorFromArgb(uint32_t argb)
{
    return ((argb >> 16) & 0xFFu) | (argb & 0xFF00u) | ((argb & 0xFFu) << 16);
}

// The pixel loop of a sampling pass: column by column, every row of the
// column inside, each cell (c, r) gets read(c, r), a 0xAARRGGBB pixel or
// nothing when the read failed. A failed read repeats the last good colour of
// the pass (opaque black before the first). Only cells c < columns, r < rows
// are written, and both are limited to the grid, so no size reaches outside it.
template <typename ReadPixel>
void StoreCells(ScreenGrid& grid, int columns, int rows, ReadPixel&& read)
{
    columns = std::clamp(columns, 0, ScreenGrid::kColumns);
    rows = std::clamp(rows, 0, ScreenGrid::kRows);
    uint32_t last = 0xFF000000u;
    for (int c = 0; c < columns; ++c) {
        for (int r = 0; r < rows; ++r) {
            if (const std::optional<uint32_t> pixel = read(c, r)) {
                last = *pixel;
            }
            grid.Set(c, r, ColorFromArgb(last));
        }
    }
}

// Reduces a picture to the grid by area average: the picture is split into
// columns x rows rectangles, edges at floor(i * width / columns) and
// floor(j * height / rows), so every pixel counts in exactly one cell; each
// cell is the mean of its pixels, each channel rounded to the nearest. This is
// "the colour of that part of the screen": a thin bright line or a small
// window counts by its share of the cell, not by whether a sample hit it.
//
// A picture narrower than `columns` (or lower than `rows`) fills only as many
// cells as it has pixels; the others keep their colours. Scratch space is
// held here and grows only with the picture's width, so after the first
// reduction of a picture size none allocates.
class GridReducer {
public:
    void Reduce(const PictureView& picture, int columns, int rows, ScreenGrid& grid);

private:
    struct Sum {
        uint64_t red = 0;
        uint64_t green = 0;
        uint64_t blue = 0;
    };

    // Adds rows [top, bottom) of the picture, at most kMaxBandRows of them,
    // into m_sums, cell column by cell column.
    void AddBand(const PictureView& picture, int top, int bottom, int columns);

    int m_edges[ScreenGrid::kColumns + 1] = {};
    Sum m_sums[ScreenGrid::kColumns];
    uint32_t m_cells[ScreenGrid::kColumns * ScreenGrid::kRows] = {};
    // Per picture column, the sums down a band of rows: red and blue in the
    // two 16-bit lanes of one word, green in bits 8 and up of another.
    std::vector<uint32_t> m_redBlue;
    std::vector<uint32_t> m_green;
    std::vector<uint32_t> m_black;  // a row of zeros
};
