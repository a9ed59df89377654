// The reduction from the grabbed picture to the grid: the area average against
// a plain per-cell oracle, the cells it may write, and the pixel loop's rule
// for failed reads.
#include "screen/grid_reducer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kUntouched = 0x00ABCDEF;

struct Picture {
    Picture(int pictureWidth, int pictureHeight, size_t rowStride)
        : width(pictureWidth), height(pictureHeight), stride(rowStride)
    {
        // The padding past each row must never count.
        pixels.assign(stride * static_cast<size_t>(height), 0xFFFFFFFFu);
    }
    uint32_t& At(int x, int y) { return pixels[static_cast<size_t>(y) * stride + static_cast<size_t>(x)]; }
    PictureView View() const { return {pixels.data(), width, height, stride}; }

    int width;
    int height;
    size_t stride;
    std::vector<uint32_t> pixels;
};

std::unique_ptr<ScreenGrid> UntouchedGrid()
{
    auto grid = std::make_unique<ScreenGrid>();
    for (auto& cell : grid->cells) {
        cell = kUntouched;
    }
    return grid;
}

// The mean of each cell's pixels, channel by channel, rounded to the nearest.
uint32_t OracleCell(const Picture& picture, int columns, int rows, int c, int r)
{
    const int64_t x0 = int64_t{c} * picture.width / columns;
    const int64_t x1 = int64_t{c + 1} * picture.width / columns;
    const int64_t y0 = int64_t{r} * picture.height / rows;
    const int64_t y1 = int64_t{r + 1} * picture.height / rows;
    uint64_t sum[3] = {};
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
            const uint32_t pixel = picture.pixels[static_cast<size_t>(y) * picture.stride + static_cast<size_t>(x)];
            sum[0] += pixel >> 16 & 0xFF;
            sum[1] += pixel >> 8 & 0xFF;
            sum[2] += pixel & 0xFF;
        }
    }
    const auto count = static_cast<uint64_t>((x1 - x0) * (y1 - y0));
    const auto mean = [count](uint64_t total) { return static_cast<uint32_t>((total + count / 2) / count); };
    return mean(sum[0]) | mean(sum[1]) << 8 | mean(sum[2]) << 16;
}

TEST(GridReducer, EveryCellIsTheRoundedMeanOfItsRectangle)
{
    struct Case {
        int width;
        int height;
        size_t stride;
        int columns;
        int rows;
        uint32_t (*pixel)(std::mt19937&, int x, int y);
    };
    const auto noise = [](std::mt19937& random, int, int) { return static_cast<uint32_t>(random()); };
    // Nearly white: the largest sums, where lanes and counters would overflow.
    const auto bright = [](std::mt19937& random, int, int) { return 0xFFFFFFFFu - static_cast<uint32_t>(random() & 0x030303u); };
    const auto stripes = [](std::mt19937&, int x, int) { return x % 2 != 0 ? 0xFFFFFFFFu : 0xFF000000u; };
    const Case cases[] = {
        {480, 270, 480, 22, 6, noise},   {480, 270, 480, 21, 6, noise},  {480, 270, 512, 100, 10, noise},
        {480, 270, 480, 7, 3, stripes},  {480, 270, 480, 1, 1, bright},  {1920, 1080, 1920, 1, 1, bright},
        {1920, 1080, 1928, 22, 6, noise}, {2560, 1440, 2560, 23, 10, bright},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.width << "x" << test.height << " to " << test.columns << "x"
                                        << test.rows);
        std::mt19937 random(7);
        Picture picture(test.width, test.height, test.stride);
        for (int y = 0; y < test.height; ++y) {
            for (int x = 0; x < test.width; ++x) {
                picture.At(x, y) = test.pixel(random, x, y);
            }
        }
        auto grid = UntouchedGrid();
        GridReducer reducer;
        reducer.Reduce(picture.View(), test.columns, test.rows, *grid);
        for (int c = 0; c < test.columns; ++c) {
            for (int r = 0; r < test.rows; ++r) {
                ASSERT_EQ(grid->At(c, r), OracleCell(picture, test.columns, test.rows, c, r)) << c << "," << r;
            }
        }
    }
}

TEST(GridReducer, HalvesOfTheScreenStayApartAndChannelsLandInTheirBytes)
{
    Picture picture(480, 270, 480);
    for (int y = 0; y < 270; ++y) {
        for (int x = 0; x < 480; ++x) {
            picture.At(x, y) = x < 240 ? 0xFFFF0000u : 0xFF0000FFu;  // red | blue, as BGRA bytes
        }
    }
    auto grid = UntouchedGrid();
    GridReducer().Reduce(picture.View(), 22, 6, *grid);
    for (int c = 0; c < 22; ++c) {
        for (int r = 0; r < 6; ++r) {
            EXPECT_EQ(grid->At(c, r), c < 11 ? 0x000000FFu : 0x00FF0000u) << c << "," << r;
        }
    }
}

// Cells outside the layout's size, and outside the grid, are never written.
TEST(GridReducer, WritesOnlyTheCellsOfTheSizeAskedForWithinTheGrid)
{
    struct Case {
        int width;
        int height;
        int columns;
        int rows;
        int writtenColumns;
        int writtenRows;
    };
    const Case cases[] = {
        {480, 270, 22, 6, 22, 6},     {480, 270, 100, 10, 100, 10}, {480, 270, 101, 11, 100, 10},
        {480, 270, 5000, -1, 0, 0},   {480, 270, 0, 6, 0, 0},       {50, 4, 100, 10, 50, 4},
        {0, 270, 22, 6, 0, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.columns << "x" << test.rows << " on " << test.width << "x"
                                        << test.height);
        Picture picture(test.width, test.height, static_cast<size_t>(test.width));
        std::fill(picture.pixels.begin(), picture.pixels.end(), 0xFF204060u);
        auto grid = UntouchedGrid();
        GridReducer().Reduce(picture.View(), test.columns, test.rows, *grid);
        for (int c = 0; c < ScreenGrid::kColumns; ++c) {
            for (int r = 0; r < ScreenGrid::kRows; ++r) {
                const bool written = c < test.writtenColumns && r < test.writtenRows;
                ASSERT_EQ(grid->At(c, r), written ? 0x00604020u : kUntouched) << c << "," << r;
            }
        }
    }
}

TEST(StoreCells, AFailedReadRepeatsTheLastGoodColourOfThePass)
{
    auto grid = UntouchedGrid();
    std::vector<std::pair<int, int>> order;
    StoreCells(*grid, 2, 3, [&order](int c, int r) -> std::optional<uint32_t> {
        order.emplace_back(c, r);
        if ((c == 0 && r == 0) || c == 1) {
            return std::nullopt;
        }
        return 0x80112233u + static_cast<uint32_t>(r);
    });
    const std::vector<std::pair<int, int>> columnFirst{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}};
    EXPECT_EQ(order, columnFirst);
    EXPECT_EQ(grid->At(0, 0), 0u);  // nothing good yet: black
    EXPECT_EQ(grid->At(0, 1), 0x00342211u);
    EXPECT_EQ(grid->At(0, 2), 0x00352211u);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(grid->At(1, r), 0x00352211u);
    }
    EXPECT_EQ(grid->At(2, 0), kUntouched);
}

}  // namespace
