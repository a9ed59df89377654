// The skin helpers on real GDI bitmaps: blends through AlphaBlend, the
// average of a bitmap, and decoding picture files with GDI+.
#include "ui/bitmap_win.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ui/window_test_win.h"

namespace {

using wintest::Dib;

// The red channel of a white picture blended onto black: the alpha applied.
std::vector<int> Reds(const Dib& dib, std::initializer_list<POINT> points)
{
    std::vector<int> reds;
    for (const POINT& point : points) {
        reds.push_back(GetRValue(dib.Colour(point.x, point.y)));
    }
    return reds;
}

void ExpectNear(const std::vector<int>& actual, const std::vector<int>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], 1) << "at " << i;  // the blend's own rounding
    }
}

TEST(SkinBitmaps, EachRowColumnAndCornerPixelIsBlendedWithItsAlpha)
{
    Dib white(4, 4);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            white.Set(x, y, RGB(255, 255, 255));
        }
    }
    Dib rows(1, 4);
    BlendRows(rows.dc, white.dc, RECT{0, 0, 1, 4}, RECT{0, 0, 1, 4}, 0, 100);
    ExpectNear(Reds(rows, {{0, 0}, {0, 1}, {0, 2}, {0, 3}}), {255, 191, 127, 63});

    Dib columns(3, 1);
    BlendColumns(columns.dc, white.dc, RECT{0, 0, 3, 1}, RECT{0, 0, 3, 1});
    ExpectNear(Reds(columns, {{0, 0}, {1, 0}, {2, 0}}), {255, 170, 85});

    // The 2 × 2 square ending at (4, 4): its top-left pixel is (2, 2).
    Dib corner(4, 4);
    BlendCorner(corner.dc, white.dc, 0, 0, 4, 4, 2);
    ExpectNear(Reds(corner, {{2, 2}, {3, 2}, {2, 3}, {3, 3}, {1, 1}}), {255, 127, 127, 74, 0});
}

TEST(SkinBitmaps, AverageColourOfABitmap)
{
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 2, 1);
    {
        Dib pixels(2, 1);
        pixels.Set(0, 0, RGB(255, 0, 0));
        pixels.Set(1, 0, RGB(0, 0, 255));
        HDC dc = CreateCompatibleDC(screen);
        HGDIOBJ previous = SelectObject(dc, bitmap);
        BitBlt(dc, 0, 0, 2, 1, pixels.dc, 0, 0, SRCCOPY);
        SelectObject(dc, previous);
        DeleteDC(dc);
    }
    COLORREF colour = 0x123456;
    EXPECT_TRUE(AverageColour(screen, bitmap, SIZE{2, 1}, colour));
    EXPECT_EQ(colour, RGB(127, 0, 127));
    // Sizes that cannot be read leave the colour alone.
    colour = 0x123456;
    EXPECT_FALSE(AverageColour(screen, bitmap, SIZE{0, 1}, colour));
    EXPECT_FALSE(AverageColour(screen, bitmap, SIZE{1 << 20, 1 << 20}, colour));
    EXPECT_EQ(colour, 0x123456u);
    DeleteObject(bitmap);
    ReleaseDC(nullptr, screen);
}

TEST(SkinBitmaps, PictureFilesDecodeWithTransparencyAsBlackAndOtherFilesAreRefused)
{
    const wintest::GdiplusSession gdiplus;
    const wintest::TempDir dir;
    // Opaque red, transparent, half-transparent green, opaque blue.
    ASSERT_TRUE(wintest::WritePng(dir.path / "pic.png", 2, 2, {0xFFFF0000, 0x00FFFFFF, 0x8000FF00, 0xFF0000FF}));
    std::ofstream(dir.path / "text.png") << "not a picture";

    GdiBitmap bitmap;
    SIZE size{};
    ASSERT_TRUE(LoadBitmapFile((dir.path / "pic.png").c_str(), bitmap, size));
    EXPECT_EQ(size.cx, 2);
    EXPECT_EQ(size.cy, 2);
    Dib view(2, 2);
    HDC dc = CreateCompatibleDC(view.dc);
    HGDIOBJ previous = SelectObject(dc, bitmap.Get());
    BitBlt(view.dc, 0, 0, 2, 2, dc, 0, 0, SRCCOPY);
    SelectObject(dc, previous);
    DeleteDC(dc);
    EXPECT_EQ(view.Colour(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(view.Colour(1, 0), RGB(0, 0, 0));
    EXPECT_NEAR(GetGValue(view.Colour(0, 1)), 128, 1);
    EXPECT_EQ(view.Colour(1, 1), RGB(0, 0, 255));

    const HBITMAP before = bitmap.Get();
    for (const wchar_t* name : {L"text.png", L"missing.png"}) {
        EXPECT_FALSE(LoadBitmapFile((dir.path / name).c_str(), bitmap, size)) << name;
        EXPECT_EQ(bitmap.Get(), before);
        EXPECT_EQ(size.cx, 2);
    }
}

}  // namespace
