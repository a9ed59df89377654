#pragma once

#include <cstdint>

#include "audio/visualizer_image.h"

// A colour by its channels, each 0 to 255 once it is packed into a 0x00BBGGRR pixel.
struct Rgb {
    int32_t red;
    int32_t green;
    int32_t blue;
};

// A 0x00BBGGRR pixel from hue (degrees), saturation and value (0..255, values
// outside are clamped), in the integer arithmetic the effect colours use.
uint32_t HsvToColor(uint32_t hue, int32_t saturation, int32_t value);

// The channel scale of a brightness in percent: brightness * 2.55 in single
// precision, truncated. Brightness is clamped to 0..100 first, so a channel
// never outgrows its eight bits.
int32_t BrightnessScale(int32_t brightness);

// The colour styles that fill the bar and background pictures, one case for
// each row of api_contract::kColourStyles. Styles
// that do not change down a column are computed once per column and copied to
// every row; the hue wheels look up a per-pixel angle table built once here.
class ColorStyles {
public:
    ColorStyles();

    // Fills the picture with the style at the brightness (percent) and the
    // animation hue (degrees). Style 13 and numbers outside the table write nothing.
    void Fill(int32_t style, int32_t brightness, float hue, VisualizerImage& image) const;

    // The angle of pixel (column, row) around the wheel centre (128, cy),
    // 0..359, as the hue wheels use it.
    static int32_t WheelAngle(int column, int row, int centreRow);

private:
    uint16_t m_wheelAngle[2][kPicturePixels];  // centre rows 32 and 64
};
