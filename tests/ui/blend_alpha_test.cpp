// The skin arithmetic: fade alphas, the average colour, and which edges fade.
#include "ui/blend_alpha.h"

#include <gtest/gtest.h>

#include <vector>

#include "ui/window_geometry.h"

namespace {

TEST(SkinArithmetic, FadeAlphasFollowTheirGradientsTruncated)
{
    struct Rows {
        int from, to;
        std::vector<int> alphas;
    };
    for (const Rows& fade : {Rows{0, 100, {255, 191, 127, 63}}, Rows{100, 0, {0, 63, 127, 191}},
                             Rows{20, 80, {204, 153, 102}}, Rows{80, 20, {51, 102, 153}}}) {
        const int rows = static_cast<int>(fade.alphas.size());
        for (int i = 0; i < rows; ++i) {
            EXPECT_EQ(RowFadeAlpha(i, rows, fade.from, fade.to), fade.alphas[i])
                << fade.from << "->" << fade.to << " row " << i;
        }
    }
    const std::vector<std::vector<int>> columns{{255, 170, 85}, {255, 191, 127, 63}};
    for (const auto& alphas : columns) {
        for (int i = 0; i < static_cast<int>(alphas.size()); ++i) {
            EXPECT_EQ(ColumnFadeAlpha(i, static_cast<int>(alphas.size())), alphas[i]) << "column " << i;
        }
    }
    EXPECT_EQ(CornerFadeAlpha(0, 0, 2), 255);
    EXPECT_EQ(CornerFadeAlpha(1, 0, 2), 127);
    EXPECT_EQ(CornerFadeAlpha(0, 1, 2), 127);
    EXPECT_EQ(CornerFadeAlpha(1, 1, 2), 74);  // 255 - 127.5 * sqrt(2)
    EXPECT_EQ(CornerFadeAlpha(2, 2, 3), 14);
    EXPECT_EQ(CornerFadeAlpha(3, 0, 3), 0);   // from distance n on: transparent
}

TEST(SkinArithmetic, AverageColourTruncatesEachChannel)
{
    // Blue, green, red, unused: one pure red and one pure blue pixel.
    const uint8_t redAndBlue[] = {0, 0, 255, 0, 255, 0, 0, 0};
    EXPECT_EQ(AverageBgrxColour(redAndBlue, 2), 0x7F007Fu);
    const uint8_t greens[] = {0, 1, 0, 0, 0, 1, 0, 0, 9, 255, 3, 0};
    EXPECT_EQ(AverageBgrxColour(greens, 3), 0x035501u);  // green 257 / 3, red 1, blue 3
    EXPECT_EQ(AverageBgrxColour(nullptr, 0), 0u);
}

TEST(SkinArithmetic, OnlyEdgesSmallerThanTheMinimumSizeLessTwoFade)
{
    struct Case {
        int width, height, minWidth, minHeight;
        int fadeWidth, fadeHeight;
    };
    for (const Case& c : {Case{16, 16, 10, 10, 0, 0}, Case{8, 8, 10, 10, 0, 0}, Case{4, 16, 10, 10, 2, 0},
                          Case{7, 4, 10, 10, 5, 2}, Case{300, 5, 400, 300, 100, 3}}) {
        const SkinFade fade = SkinFadeSize(c.width, c.height, c.minWidth, c.minHeight);
        EXPECT_EQ(fade.width, c.fadeWidth) << c.width << "x" << c.height;
        EXPECT_EQ(fade.height, c.fadeHeight) << c.width << "x" << c.height;
    }
}

}  // namespace
