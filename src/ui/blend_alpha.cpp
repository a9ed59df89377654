#include "ui/blend_alpha.h"

#include <algorithm>
#include <cmath>

namespace {

uint8_t ToAlpha(double value)
{
    // Truncation towards zero, then the low byte.
    return static_cast<uint8_t>(static_cast<int64_t>(value));
}

}  // namespace

uint8_t RowFadeAlpha(int row, int rows, int fromPercent, int toPercent)
{
    const int lo = std::min(fromPercent, toPercent);
    const int hi = std::max(fromPercent, toPercent);
    const auto opaqueEnd = static_cast<int64_t>(255.0 - lo * 255.0 / 100.0);
    const auto clearEnd = static_cast<int64_t>((100.0 - hi) * 255.0 / 100.0);
    const double step = static_cast<double>(opaqueEnd - clearEnd) / rows;
    if (fromPercent < toPercent) {
        return ToAlpha(static_cast<double>(opaqueEnd) - row * step);
    }
    return ToAlpha(static_cast<double>(clearEnd) + row * step);
}

uint8_t ColumnFadeAlpha(int column, int columns)
{
    return ToAlpha(255.0 - (255.0 / columns) * column);
}

uint8_t CornerFadeAlpha(int i, int j, int side)
{
    const double distance = std::sqrt(static_cast<double>(i) * i + static_cast<double>(j) * j);
    return ToAlpha(255.0 - (255.0 / side) * std::min(static_cast<double>(side), distance));
}

uint32_t AverageBgrxColour(const uint8_t* pixels, size_t count)
{
    if (count == 0) {
        return 0;
    }
    uint64_t blue = 0;
    uint64_t green = 0;
    uint64_t red = 0;
    for (size_t i = 0; i < count; ++i) {
        blue += pixels[4 * i];
        green += pixels[4 * i + 1];
        red += pixels[4 * i + 2];
    }
    return static_cast<uint32_t>(red / count) | static_cast<uint32_t>(green / count) << 8 |
           static_cast<uint32_t>(blue / count) << 16;
}
