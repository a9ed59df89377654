#pragma once

#include <cstdint>

#include "base/relaxed.h"

constexpr int kPictureWidth = 256;
constexpr int kPictureHeight = 64;
constexpr int kPicturePixels = kPictureWidth * kPictureHeight;

// A 256 x 64 picture of 0x00BBGGRR pixels, row by row (index row * 256 + column),
// private to the thread that fills it.
struct VisualizerImage {
    uint32_t pixels[kPicturePixels] = {};
};

// A picture other threads read while the frame thread writes it. A reader may
// see a mix of two frames, which the lighting tolerates; relaxed words keep
// that mix free of undefined behaviour.
struct SharedVisualizerImage {
    Relaxed<uint32_t> pixels[kPicturePixels];

    uint32_t At(int row, int column) const { return pixels[row * kPictureWidth + column]; }
};
