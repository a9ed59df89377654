#include "audio/color_style.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <vector>

#include "audio/fill_oracle.h"
#include "base/api_contract.h"

namespace {

uint32_t Rgb(int r, int g, int b)
{
    return oracle::Pack(r, g, b);
}

TEST(HsvToColor, PrimaryHuesGreyAndSectors)
{
    EXPECT_EQ(HsvToColor(0, 255, 255), Rgb(255, 0, 0));
    EXPECT_EQ(HsvToColor(120, 255, 255), Rgb(0, 255, 0));
    EXPECT_EQ(HsvToColor(240, 255, 255), Rgb(0, 0, 255));
    EXPECT_EQ(HsvToColor(60, 255, 255), Rgb(255, 255, 0));
    EXPECT_EQ(HsvToColor(30, 255, 255), Rgb(255, 127, 0));
    EXPECT_EQ(HsvToColor(330, 255, 255), Rgb(255, 0, 127));
    EXPECT_EQ(HsvToColor(480, 255, 255), Rgb(0, 255, 0)) << "hue is taken modulo 360";
    for (uint32_t hue : {0u, 59u, 60u, 200u, 359u, 4000000000u}) {
        EXPECT_EQ(HsvToColor(hue, 0, 77), Rgb(77, 77, 77)) << hue;
    }
    // Partial saturation keeps the floor p = V (256 - S) / 256 in every sector.
    EXPECT_EQ(HsvToColor(180, 128, 200), Rgb(100, 200, 200));
}

TEST(HsvToColor, ChannelsStayWithinValueForEveryHue)
{
    for (uint32_t hue = 0; hue < 360; ++hue) {
        for (int s : {1, 100, 255}) {
            const uint32_t colour = HsvToColor(hue, s, 200);
            EXPECT_EQ(colour >> 24, 0u);
            EXPECT_LE(colour & 0xFF, 200u);
            EXPECT_LE((colour >> 8) & 0xFF, 200u);
            EXPECT_LE((colour >> 16) & 0xFF, 200u);
        }
    }
    EXPECT_EQ(HsvToColor(0, 255, 9999), Rgb(255, 0, 0)) << "value is clamped";
}

TEST(BrightnessScale, TruncatesAndClamps)
{
    EXPECT_EQ(BrightnessScale(100), 255);
    EXPECT_EQ(BrightnessScale(50), 127);
    EXPECT_EQ(BrightnessScale(0), 0);
    EXPECT_EQ(BrightnessScale(1000), 255);
    EXPECT_EQ(BrightnessScale(-7), 0);
    EXPECT_EQ(BrightnessScale(INT32_MAX), 255);
}

class FillStyleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        styles = std::make_unique<ColorStyles>();
        fast = std::make_unique<VisualizerImage>();
        slow = std::make_unique<VisualizerImage>();
    }
    void Prefill(uint32_t seed)
    {
        for (int p = 0; p < kPicturePixels; ++p) {
            fast->pixels[p] = slow->pixels[p] = seed + static_cast<uint32_t>(p);
        }
    }
    std::unique_ptr<ColorStyles> styles;
    std::unique_ptr<VisualizerImage> fast;
    std::unique_ptr<VisualizerImage> slow;
};

// Bit for bit with the per-pixel formulas, including the styles that leave
// the picture alone (13, 22, negative).
TEST_F(FillStyleTest, MatchesOracleForEveryStyleHueAndBrightness)
{
    const float hues[] = {0.0f, 5.0f, 95.0f, 180.0f, 275.0f, 355.0f, 360.0f};
    const int brightnesses[] = {0, 1, 37, 50, 99, 100, 250, -3};
    for (int style = -1; style <= 23; ++style) {
        for (float hue : hues) {
            for (int brightness : brightnesses) {
                Prefill(0x00123456u + static_cast<uint32_t>(style));
                styles->Fill(style, brightness, hue, *fast);
                oracle::Fill(style, brightness, hue, *slow);
                int mismatches = 0;
                for (int p = 0; p < kPicturePixels; ++p) {
                    mismatches += fast->pixels[p] != slow->pixels[p];
                }
                ASSERT_EQ(mismatches, 0) << "style " << style << " hue " << hue << " brightness " << brightness;
            }
        }
    }
}

TEST_F(FillStyleTest, FullChannelAtBrightness100Is254AndZeroIsBlack)
{
    styles->Fill(6, 100, 0.0f, *fast);
    EXPECT_EQ(fast->pixels[0], Rgb(254, 254, 254));
    for (int style = 0; style <= 21; ++style) {
        if (style == 13) {
            continue;
        }
        Prefill(1);
        styles->Fill(style, 0, 123.0f, *fast);
        for (int p = 0; p < kPicturePixels; p += 97) {
            ASSERT_EQ(fast->pixels[p], 0u) << "style " << style;
        }
    }
}

TEST_F(FillStyleTest, ThreeStopGradientRowsAndMiddleOutTopRow)
{
    styles->Fill(1, 100, 0.0f, *fast);
    const uint32_t red = Rgb(254, 0, 0), yellow = Rgb(254, 254, 0), green = Rgb(0, 254, 0);
    for (int row = 1; row <= 21; ++row) {
        EXPECT_EQ(fast->pixels[row * 256 + 7], green) << row;
    }
    for (int row = 22; row <= 42; ++row) {
        EXPECT_EQ(fast->pixels[row * 256 + 7], yellow) << row;
    }
    for (int row = 43; row <= 63; ++row) {
        EXPECT_EQ(fast->pixels[row * 256 + 7], red) << row;
    }
    EXPECT_EQ(fast->pixels[127], red);
    EXPECT_EQ(fast->pixels[128], red);
    EXPECT_EQ(fast->pixels[0], green);
    EXPECT_EQ(fast->pixels[255], green);
}

TEST_F(FillStyleTest, RowInvariantStylesRepeatTheirFirstRow)
{
    for (int style : {18, 19, 21}) {
        styles->Fill(style, 80, 45.0f, *fast);
        for (int row = 1; row < kPictureHeight; ++row) {
            for (int x = 0; x < kPictureWidth; ++x) {
                ASSERT_EQ(fast->pixels[row * 256 + x], fast->pixels[x]) << style;
            }
        }
    }
}

// The daemon's table of colour styles (what the console and the host read)
// says what Fill does: each style paints the whole picture, except the one
// that leaves it unchanged; a number past the table paints nothing; and a
// style is animated exactly when its picture moves with the hue.
TEST_F(FillStyleTest, TheTableOfColourStylesSaysWhatEachFillDoes)
{
    const auto painted = [this](int style, float hue, uint32_t seed) {
        Prefill(seed);
        styles->Fill(style, 80, hue, *fast);
        return std::vector<uint32_t>(std::begin(fast->pixels), std::end(fast->pixels));
    };
    const auto prefilled = [this](uint32_t seed) {
        Prefill(seed);
        return std::vector<uint32_t>(std::begin(fast->pixels), std::end(fast->pixels));
    };
    for (const api_contract::ColourStyle& style : api_contract::kColourStyles) {
        const std::vector<uint32_t> first = painted(style.number, 0.0f, 0x10000u);
        const bool leavesThePicture = first == prefilled(0x10000u);
        // The ripple's number has no picture of its own: the ripple draws the keys itself.
        EXPECT_EQ(leavesThePicture, style.number == api_contract::kRippleMode) << style.name;
        if (!leavesThePicture) {
            EXPECT_EQ(painted(style.number, 0.0f, 0x20000u), first) << style.name << " paints every pixel";
        }
        EXPECT_EQ(painted(style.number, 95.0f, 0x10000u) != first, style.animated) << style.name;
    }
    EXPECT_EQ(painted(api_contract::kLastColourStyle + 1, 0.0f, 0x10000u), prefilled(0x10000u));
}

TEST(WheelAngle, QuartersAroundTheCentre)
{
    EXPECT_EQ(ColorStyles::WheelAngle(0, 32, 32), 0);     // left of the centre: atan2 = pi
    EXPECT_EQ(ColorStyles::WheelAngle(255, 32, 32), 180);
    EXPECT_EQ(ColorStyles::WheelAngle(128, 63, 32), 270);
    EXPECT_EQ(ColorStyles::WheelAngle(128, 0, 32), 89);  // the degree factor is a hair above 180 / pi
    for (int row = 0; row < kPictureHeight; ++row) {
        for (int x = 0; x < kPictureWidth; ++x) {
            const int angle = ColorStyles::WheelAngle(x, row, 64);
            ASSERT_GE(angle, 0);
            ASSERT_LT(angle, 360);
        }
    }
}

}  // namespace
