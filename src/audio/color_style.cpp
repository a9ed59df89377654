#include "audio/color_style.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kCyan{0, 255, 255};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kMagenta{255, 0, 255};
constexpr Rgb kWhite{255, 255, 255};

constexpr Rgb kStops1[] = {kRed, kYellow, kGreen};
constexpr Rgb kStops2[] = {kRed, kYellow, kGreen, kCyan, kBlue, kMagenta};
constexpr Rgb kStops3[] = {kMagenta, kBlue, kCyan, kGreen, kYellow, kRed};
constexpr Rgb kStops15[] = {kGreen, kWhite, kRed};
constexpr Rgb kStops16[] = {kBlue, kCyan, kWhite};
constexpr Rgb kStops17[] = {kRed, kWhite, kBlue};

uint32_t Pack(int32_t r, int32_t g, int32_t b)
{
    return static_cast<uint32_t>(r) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b) << 16;
}

uint32_t Scaled(Rgb colour, int32_t c)
{
    return Pack(colour.red * c / 256, colour.green * c / 256, colour.blue * c / 256);
}

void FillSolid(VisualizerImage& image, uint32_t pixel)
{
    std::fill(std::begin(image.pixels), std::end(image.pixels), pixel);
}

// Every row equal to the first.
void CopyFirstRow(VisualizerImage& image)
{
    for (int row = 1; row < kPictureHeight; ++row) {
        std::memcpy(&image.pixels[row * kPictureWidth], image.pixels, sizeof(uint32_t) * kPictureWidth);
    }
}

template <size_t N>
void FillGradient(VisualizerImage& image, const Rgb (&stops)[N], int32_t c)
{
    constexpr int n = static_cast<int>(N);
    uint32_t colours[N];
    for (int s = 0; s < n; ++s) {
        colours[s] = Scaled(stops[s], c);
    }
    // Row 0 runs outward from the middle columns.
    const auto count = static_cast<float>(n);
    for (int j = 0; j < kPictureWidth; ++j) {
        int index = j < 128 ? static_cast<int>(count - count * 0.0078125f * static_cast<float>(j))
                            : static_cast<int>(static_cast<float>((j - 128) * n) * 0.0078125f);
        image.pixels[j] = colours[std::clamp(index, 0, n - 1)];
    }
    const float step = count / 63.0f;
    for (int row = 1; row < kPictureHeight; ++row) {
        const int index = static_cast<int>(count - step * static_cast<float>(row));
        uint32_t* line = &image.pixels[row * kPictureWidth];
        std::fill(line, line + kPictureWidth, colours[std::clamp(index, 0, n - 1)]);
    }
}

uint32_t SineRainbow(int column, float hue, int32_t c)
{
    const int turn = static_cast<int>(static_cast<float>(column) * 1.4117647f - hue) % 360;
    const float theta = static_cast<float>(turn) / 360.0f * 2.0f * 3.14f;
    const auto level = [c](float y) { return static_cast<int32_t>((y + 1.0f) * 127.0f) * c / 256; };
    return Pack(level(std::sin(theta)), level(std::sin(theta - 2.0933335f)), level(std::sin(theta + 2.0933335f)));
}

uint32_t HueSweep(int column, float hue, int32_t c)
{
    const int turn = static_cast<int>(static_cast<float>(256 - column) + hue) % 360;
    return HsvToColor(static_cast<uint32_t>(turn), 255, c);
}

uint32_t WheelHue(int32_t angle, float hue)
{
    return static_cast<uint32_t>(static_cast<int64_t>(static_cast<float>(angle) + hue));
}

}  // namespace

uint32_t HsvToColor(uint32_t hue, int32_t saturation, int32_t value)
{
    const int32_t s = std::clamp(saturation, 0, 255);
    const int32_t v = std::clamp(value, 0, 255);
    if (s == 0) {
        return Pack(v, v, v);
    }
    const auto h = static_cast<int32_t>(hue % 360u);
    const int32_t sector = h / 60;
    const int32_t p = v * (256 - s) / 256;
    if (sector % 2 == 1) {
        const int32_t q = v * (s * (60 * sector - h) + 15360) / 15360;
        switch (sector) {
        case 1: return Pack(q, v, p);
        case 3: return Pack(p, q, v);
        default: return Pack(v, p, q);
        }
    }
    const int32_t t = v * (s * (h - 60 * (sector + 1)) + 15360) / 15360;
    switch (sector) {
    case 0: return Pack(v, t, p);
    case 2: return Pack(p, v, t);
    default: return Pack(t, p, v);
    }
}

int32_t BrightnessScale(int32_t brightness)
{
    return static_cast<int32_t>(static_cast<float>(std::clamp(brightness, 0, 100)) * 2.55f);
}

int32_t ColorStyles::WheelAngle(int column, int row, int centreRow)
{
    const double degrees = std::atan2(static_cast<double>(row - centreRow), static_cast<double>(column - 128));
    return static_cast<int32_t>(degrees * 57.295827908797776 + 180.0) % 360;
}

ColorStyles::ColorStyles()
{
    for (int row = 0; row < kPictureHeight; ++row) {
        for (int column = 0; column < kPictureWidth; ++column) {
            const int p = row * kPictureWidth + column;
            m_wheelAngle[0][p] = static_cast<uint16_t>(WheelAngle(column, row, 32));
            m_wheelAngle[1][p] = static_cast<uint16_t>(WheelAngle(column, row, 64));
        }
    }
}

void ColorStyles::Fill(int32_t style, int32_t brightness, float hue, VisualizerImage& image) const
{
    const int32_t c = BrightnessScale(brightness);
    switch (style) {
    case 0: FillSolid(image, 0); break;
    case 1: FillGradient(image, kStops1, c); break;
    case 2: FillGradient(image, kStops2, c); break;
    case 3: FillGradient(image, kStops3, c); break;
    case 4:
    case 20: {
        // The wheel hue depends only on the pixel's angle: one colour per angle.
        uint32_t colours[360];
        for (int32_t angle = 0; angle < 360; ++angle) {
            colours[angle] = HsvToColor(WheelHue(angle, hue), 255, c);
        }
        const uint16_t* angles = m_wheelAngle[style == 4 ? 0 : 1];
        for (int p = 0; p < kPicturePixels; ++p) {
            image.pixels[p] = colours[angles[p]];
        }
        break;
    }
    case 5: FillSolid(image, HsvToColor(static_cast<uint32_t>(static_cast<int64_t>(hue)), 255, c)); break;
    case 6: FillSolid(image, Scaled(kWhite, c)); break;
    case 7: FillSolid(image, Scaled(kRed, c)); break;
    case 8: FillSolid(image, Scaled({255, 64, 0}, c)); break;
    case 9: FillSolid(image, Scaled(kYellow, c)); break;
    case 10: FillSolid(image, Scaled(kBlue, c)); break;
    case 11: FillSolid(image, Scaled(kGreen, c)); break;
    case 12: FillSolid(image, Scaled(kCyan, c)); break;
    case 14: FillSolid(image, Scaled({64, 0, 255}, c)); break;
    case 15: FillGradient(image, kStops15, c); break;
    case 16: FillGradient(image, kStops16, c); break;
    case 17: FillGradient(image, kStops17, c); break;
    case 18:
        for (int column = 0; column < kPictureWidth; ++column) {
            image.pixels[column] = SineRainbow(column, hue, c);
        }
        CopyFirstRow(image);
        break;
    case 19:
        for (int column = 0; column < kPictureWidth; ++column) {
            image.pixels[column] = HueSweep(column, hue, c);
        }
        CopyFirstRow(image);
        break;
    case 21: FillSolid(image, SineRainbow(1, hue, c)); break;
    default: break;
    }
}
