#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "screen/grid_reducer.h"

// The 32-bit pixel formats a screen video stream is asked for, named by their
// bytes in memory; x is padding, and alpha is ignored as well.
enum class VideoFormat { Bgrx, Bgra, Rgbx, Rgba };

// One frame of such a stream as it lies in a buffer: `bytes` readable from
// `data`, rows `strideBytes` apart from the top.
struct VideoFrame {
    const void* data = nullptr;
    size_t bytes = 0;
    int width = 0;
    int height = 0;
    size_t strideBytes = 0;
    VideoFormat format = VideoFormat::Bgrx;
};

// The frame as a picture the area average reads in place, or nothing when it
// cannot be read so: no data, no size, rows shorter than the width, a stride
// or address that is not whole pixels, or fewer bytes than its rows need.
std::optional<PictureView> PictureOf(const VideoFrame& frame);
