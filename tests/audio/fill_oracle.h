#pragma once

// The colour styles computed the straightforward way, pixel by pixel, exactly
// as the formulas read. The fast fill must match it bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "audio/color_style.h"
#include "audio/visualizer_image.h"

namespace oracle {

inline uint32_t Pack(int r, int g, int b)
{
    return static_cast<uint32_t>(r) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b) << 16;
}

inline uint32_t Scale(Rgb s, int c)
{
    return Pack(s.red * c / 256, s.green * c / 256, s.blue * c / 256);
}

inline uint32_t Gradient(const Rgb* stops, int n, int x, int row, int c)
{
    int index;
    if (row == 0) {
        index = x < 128 ? std::min(static_cast<int>(n - n * 0.0078125f * x), n - 1)
                        : static_cast<int>((x - 128) * n * 0.0078125f);
    } else {
        index = static_cast<int>(n - (static_cast<float>(n) / 63.0f) * row);
    }
    return Scale(stops[index], c);
}

inline uint32_t Sine(int x, float hue, int c)
{
    const float theta = static_cast<float>(static_cast<int>(x * 1.4117647f - hue) % 360) / 360.0f * 2.0f * 3.14f;
    const int blue = static_cast<int>((std::sin(theta + 2.0933335f) + 1.0f) * 127.0f) * c / 256;
    const int green = static_cast<int>((std::sin(theta - 2.0933335f) + 1.0f) * 127.0f) * c / 256;
    const int red = static_cast<int>((std::sin(theta) + 1.0f) * 127.0f) * c / 256;
    return Pack(red, green, blue);
}

inline uint32_t Wheel(int x, int row, int cy, float hue, int c)
{
    const int angle = static_cast<int>(std::atan2(static_cast<double>(row - cy), static_cast<double>(x - 128)) *
                                           57.295827908797776 +
                                       180) %
                      360;
    return HsvToColor(static_cast<uint32_t>(static_cast<float>(angle) + hue), 255, c);
}

// Returns false for styles that write nothing.
inline bool Pixel(int style, int c, float hue, int x, int row, uint32_t& pixel)
{
    static const Rgb red{255, 0, 0}, yellow{255, 255, 0}, green{0, 255, 0}, cyan{0, 255, 255}, blue{0, 0, 255},
        magenta{255, 0, 255}, white{255, 255, 255};
    static const Rgb s1[] = {red, yellow, green};
    static const Rgb s2[] = {red, yellow, green, cyan, blue, magenta};
    static const Rgb s3[] = {magenta, blue, cyan, green, yellow, red};
    static const Rgb s15[] = {green, white, red};
    static const Rgb s16[] = {blue, cyan, white};
    static const Rgb s17[] = {red, white, blue};
    switch (style) {
    case 0: pixel = 0; return true;
    case 1: pixel = Gradient(s1, 3, x, row, c); return true;
    case 2: pixel = Gradient(s2, 6, x, row, c); return true;
    case 3: pixel = Gradient(s3, 6, x, row, c); return true;
    case 4: pixel = Wheel(x, row, 32, hue, c); return true;
    case 5: pixel = HsvToColor(static_cast<uint32_t>(hue), 255, c); return true;
    case 6: pixel = Scale(white, c); return true;
    case 7: pixel = Scale(red, c); return true;
    case 8: pixel = Scale({255, 64, 0}, c); return true;
    case 9: pixel = Scale(yellow, c); return true;
    case 10: pixel = Scale(blue, c); return true;
    case 11: pixel = Scale(green, c); return true;
    case 12: pixel = Scale(cyan, c); return true;
    case 14: pixel = Scale({64, 0, 255}, c); return true;
    case 15: pixel = Gradient(s15, 3, x, row, c); return true;
    case 16: pixel = Gradient(s16, 3, x, row, c); return true;
    case 17: pixel = Gradient(s17, 3, x, row, c); return true;
    case 18: pixel = Sine(x, hue, c); return true;
    case 19: pixel = HsvToColor(static_cast<uint32_t>(static_cast<int>(256 - x + hue) % 360), 255, c); return true;
    case 20: pixel = Wheel(x, row, 64, hue, c); return true;
    case 21: pixel = Sine(1, hue, c); return true;
    default: return false;
    }
}

inline void Fill(int style, int brightness, float hue, VisualizerImage& image)
{
    const int c = static_cast<int>(static_cast<float>(std::clamp(brightness, 0, 100)) * 2.55f);
    for (int row = 0; row < kPictureHeight; ++row) {
        for (int x = 0; x < kPictureWidth; ++x) {
            uint32_t pixel = 0;
            if (Pixel(style, c, hue, x, row, pixel)) {
                image.pixels[row * kPictureWidth + x] = pixel;
            }
        }
    }
}

}  // namespace oracle
