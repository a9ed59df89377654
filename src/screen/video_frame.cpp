#include "screen/video_frame.h"

#include <cstdint>

std::optional<PictureView> PictureOf(const VideoFrame& frame)
{
    constexpr size_t kPixelBytes = sizeof(uint32_t);
    if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0 || frame.strideBytes % kPixelBytes != 0 ||
        reinterpret_cast<uintptr_t>(frame.data) % alignof(uint32_t) != 0) {
        return std::nullopt;
    }
    const auto width = static_cast<size_t>(frame.width);
    const auto height = static_cast<size_t>(frame.height);
    const size_t stride = frame.strideBytes / kPixelBytes;
    const size_t words = frame.bytes / kPixelBytes;
    // The last row needs only its pixels, not the padding after them.
    if (stride < width || words < width || (words - width) / stride < height - 1) {
        return std::nullopt;
    }
    const bool redFirst = frame.format == VideoFormat::Rgbx || frame.format == VideoFormat::Rgba;
    return PictureView{static_cast<const uint32_t*>(frame.data), frame.width, frame.height, stride, redFirst};
}
