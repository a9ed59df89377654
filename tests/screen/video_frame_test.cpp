// Frames as a screen's video stream hands them over: each format's channels
// land in their place in the grid, the padding past a row never counts, and a
// frame that cannot be read in place is refused rather than read outside it.
#include "screen/video_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

TEST(VideoFrame, EachFormatsChannelsLandInTheirPlaceAndRowPaddingNeverCounts)
{
    // Red 0x10, green 0x20, blue 0x30 in each format's byte order; the
    // padding pixels past each row are white.
    struct Case {
        VideoFormat format;
        uint8_t pixel[4];
    };
    const Case cases[] = {
        {VideoFormat::Bgrx, {0x30, 0x20, 0x10, 0x00}},
        {VideoFormat::Bgra, {0x30, 0x20, 0x10, 0xFF}},
        {VideoFormat::Rgbx, {0x10, 0x20, 0x30, 0x00}},
        {VideoFormat::Rgba, {0x10, 0x20, 0x30, 0x80}},
    };
    constexpr int kWidth = 8;
    constexpr int kHeight = 4;
    constexpr size_t kStride = 10 * 4;
    for (const Case& test : cases) {
        SCOPED_TRACE(static_cast<int>(test.format));
        std::vector<uint32_t> words(kStride / 4 * kHeight, 0xFFFFFFFFu);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                std::memcpy(&words[static_cast<size_t>(y) * kStride / 4 + static_cast<size_t>(x)], test.pixel, 4);
            }
        }
        const VideoFrame frame{words.data(), words.size() * 4, kWidth, kHeight, kStride, test.format};
        const auto picture = PictureOf(frame);
        ASSERT_TRUE(picture.has_value());
        auto grid = std::make_unique<ScreenGrid>();
        GridReducer reducer;
        reducer.Reduce(*picture, 4, 2, *grid);
        for (int c = 0; c < 4; ++c) {
            for (int r = 0; r < 2; ++r) {
                EXPECT_EQ(grid->At(c, r), 0x00302010u) << c << "," << r;
            }
        }
    }
}

TEST(VideoFrame, AFrameThatCannotBeReadInPlaceIsRefused)
{
    std::vector<uint32_t> words(64 * 4 + 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    struct Case {
        const char* what;
        VideoFrame frame;
        bool readable;
    };
    const Case cases[] = {
        {"whole rows", {bytes, 64 * 4 * 4, 64, 4, 64 * 4, VideoFormat::Bgrx}, true},
        {"the last row without its padding", {bytes, (3 * 80 + 64) * 4, 64, 4, 80 * 4, VideoFormat::Bgrx}, true},
        {"one byte short", {bytes, (3 * 80 + 64) * 4 - 1, 64, 4, 80 * 4, VideoFormat::Bgrx}, false},
        {"rows shorter than the width", {bytes, 64 * 4 * 4, 64, 4, 63 * 4, VideoFormat::Bgrx}, false},
        {"a stride of part of a pixel", {bytes, 64 * 4 * 4, 63, 4, 63 * 4 + 2, VideoFormat::Bgrx}, false},
        {"no stride", {bytes, 64 * 4 * 4, 64, 4, 0, VideoFormat::Bgrx}, false},
        {"an address between pixels", {bytes + 1, 64 * 4 * 4, 64, 4, 64 * 4, VideoFormat::Bgrx}, false},
        {"no data", {nullptr, 64 * 4 * 4, 64, 4, 64 * 4, VideoFormat::Bgrx}, false},
        {"no size", {bytes, 64 * 4 * 4, 0, 4, 64 * 4, VideoFormat::Bgrx}, false},
        {"a negative height", {bytes, 64 * 4 * 4, 64, -4, 64 * 4, VideoFormat::Bgrx}, false},
        {"fewer bytes than one row", {bytes, 10, 64, 1, 64 * 4, VideoFormat::Bgrx}, false},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(PictureOf(test.frame).has_value(), test.readable) << test.what;
    }
}

}  // namespace
