#include "ui/window_geometry.h"

#include <algorithm>

namespace {

constexpr int kMaxFade = 100;

int FadeAlong(int imageSize, int minSize)
{
    return imageSize >= minSize - 2 ? 0 : std::min(imageSize - 2, kMaxFade);
}

}  // namespace

HitZone BorderHitZone(int x, int y, int width, int height, int borderX, int borderY)
{
    if (x < borderX && y < borderY) {
        return HitZone::TopLeft;
    }
    if (x <= borderX && y >= height - borderY) {
        return HitZone::BottomLeft;
    }
    if (x > width - borderX && y < borderY) {
        return HitZone::TopRight;
    }
    if (x >= width - borderX && y >= height - borderY) {
        return HitZone::BottomRight;
    }
    if (x < borderX) {
        return HitZone::Left;
    }
    if (x >= width - borderX) {
        return HitZone::Right;
    }
    if (y < borderY) {
        return HitZone::Top;
    }
    if (y > height - borderY) {
        return HitZone::Bottom;
    }
    return HitZone::Client;
}

std::vector<ControlRect> CornerCuts(int width, int height, std::span<const int> cornerTable)
{
    std::vector<ControlRect> cuts;
    for (int y = 0; y < static_cast<int>(cornerTable.size()); ++y) {
        const int cut = cornerTable[y];
        cuts.push_back({0, y, cut, y + 1});
        cuts.push_back({width - cut, y, width, y + 1});
        cuts.push_back({0, height - y - 1, cut, height - y});
        cuts.push_back({width - cut, height - y - 1, width, height - y});
    }
    return cuts;
}

SkinFade SkinFadeSize(int imageWidth, int imageHeight, int minWidth, int minHeight)
{
    return {FadeAlong(imageWidth, minWidth), FadeAlong(imageHeight, minHeight)};
}
