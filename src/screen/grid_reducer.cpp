#include "screen/grid_reducer.h"

namespace {

// 256 pixels of 255 fill a 16-bit lane without carrying out of it.
constexpr int kMaxBandRows = 256;

// (sum + count / 2) / count for the three channels of a cell, with one
// reciprocal per cell instead of three 64-bit divisions. The product is off by
// at most one for any sum a picture can have, and the correction makes it
// exact.
class RoundedMean {
public:
    explicit RoundedMean(uint64_t count) : m_count(count), m_inverse(1.0 / static_cast<double>(count)) {}

    uint32_t operator()(uint64_t sum) const
    {
        const uint64_t dividend = sum + m_count / 2;
        auto quotient = static_cast<uint64_t>(static_cast<double>(dividend) * m_inverse);
        if (quotient * m_count > dividend) {
            --quotient;
        } else if ((quotient + 1) * m_count <= dividend) {
            ++quotient;
        }
        return static_cast<uint32_t>(quotient);
    }

private:
    uint64_t m_count;
    double m_inverse;
};

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
    if (m_redBlue.size() < static_cast<size_t>(width)) {
        m_redBlue.resize(static_cast<size_t>(width));
        m_green.resize(static_cast<size_t>(width));
        m_black.resize(static_cast<size_t>(width));
    }
    for (int c = 0; c <= columns; ++c) {
        m_edges[c] = static_cast<int>(static_cast<int64_t>(c) * width / columns);
    }
    for (int r = 0; r < rows; ++r) {
        const int top = static_cast<int>(static_cast<int64_t>(r) * height / rows);
        const int bottom = static_cast<int>(static_cast<int64_t>(r + 1) * height / rows);
        std::fill(m_sums, m_sums + columns, Sum{});
        for (int band = top; band < bottom; band += kMaxBandRows) {
            AddBand(picture, band, std::min(bottom, band + kMaxBandRows), columns);
        }
        for (int c = 0; c < columns; ++c) {
            const RoundedMean mean(static_cast<uint64_t>(m_edges[c + 1] - m_edges[c]) *
                                   static_cast<uint64_t>(bottom - top));
            const Sum& sum = m_sums[c];
            // The sums are named for BGRA bytes; with red first they swap, exactly.
            const uint32_t high = mean(picture.redFirst ? sum.blue : sum.red);
            const uint32_t low = mean(picture.redFirst ? sum.red : sum.blue);
            m_cells[c * ScreenGrid::kRows + r] = 0xFF000000u | high << 16 | mean(sum.green) << 8 | low;
        }
    }
    StoreCells(grid, columns, rows,
               [this](int c, int r) { return std::optional<uint32_t>(m_cells[c * ScreenGrid::kRows + r]); });
}

void GridReducer::AddBand(const PictureView& picture, int top, int bottom, int columns)
{
    const size_t width = static_cast<size_t>(picture.width);
    uint32_t* const redBlue = m_redBlue.data();
    uint32_t* const green = m_green.data();
    std::fill(redBlue, redBlue + width, 0u);
    std::fill(green, green + width, 0u);
    // Rows past the band read as black.
    const uint32_t* const black = m_black.data();
    const auto line = [&picture, bottom, black](int y) {
        return y < bottom ? picture.pixels + static_cast<size_t>(y) * picture.stride : black;
    };
    // Down the rows first, four at a time so that the sums are loaded and
    // stored once per four pixels: a plain loop over whole rows, which the
    // compiler turns into vector instructions.
    for (int y = top; y < bottom; y += 4) {
        const uint32_t* const a = line(y);
        const uint32_t* const b = line(y + 1);
        const uint32_t* const c = line(y + 2);
        const uint32_t* const d = line(y + 3);
        for (size_t x = 0; x < width; ++x) {
            redBlue[x] += (a[x] & 0x00FF00FFu) + (b[x] & 0x00FF00FFu) + (c[x] & 0x00FF00FFu) + (d[x] & 0x00FF00FFu);
            green[x] += (a[x] & 0x0000FF00u) + (b[x] & 0x0000FF00u) + (c[x] & 0x0000FF00u) + (d[x] & 0x0000FF00u);
        }
    }
    for (int c = 0; c < columns; ++c) {
        Sum& sum = m_sums[c];
        for (int x = m_edges[c]; x < m_edges[c + 1]; ++x) {
            sum.blue += redBlue[x] & 0xFFFFu;
            sum.red += redBlue[x] >> 16;
            sum.green += green[x] >> 8;
        }
    }
}
