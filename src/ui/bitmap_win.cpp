#include "ui/bitmap_win.h"

#include <objidl.h>  // before gdiplus.h, which needs it under WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include <cstdint>
#include <memory>
#include <new>

#include "ui/blend_alpha.h"

namespace {

// Transparent parts of a decoded picture come out black (alpha-red-green-blue).
constexpr Gdiplus::ARGB kOpaqueBlack = 0xFF000000;
// Pictures larger than this are refused rather than read into memory whole.
constexpr uint64_t kMaxPixels = uint64_t{1} << 26;

void BlendRun(HDC destination, HDC source, int x, int y, int width, int height, int sourceX, int sourceY,
              uint8_t alpha)
{
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, alpha, 0};
    AlphaBlend(destination, x, y, width, height, source, sourceX, sourceY, width, height, blend);
}

struct ImageCloser {
    void operator()(Gdiplus::GpBitmap* image) const { Gdiplus::DllExports::GdipDisposeImage(image); }
};

}  // namespace

bool LoadBitmapFile(const wchar_t* path, GdiBitmap& bitmap, SIZE& size)
{
    Gdiplus::GpBitmap* decoded = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromFile(path, &decoded) != Gdiplus::Ok || decoded == nullptr) {
        return false;
    }
    const std::unique_ptr<Gdiplus::GpBitmap, ImageCloser> image(decoded);
    HBITMAP handle = nullptr;
    if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(image.get(), &handle, kOpaqueBlack) != Gdiplus::Ok ||
        handle == nullptr) {
        return false;
    }
    BITMAP description{};
    if (GetObjectW(handle, sizeof description, &description) == 0) {
        DeleteObject(handle);
        return false;
    }
    bitmap.Reset(handle);
    size = {description.bmWidth, description.bmHeight};
    return true;
}

bool AverageColour(HDC reference, HBITMAP bitmap, SIZE size, COLORREF& colour)
{
    if (size.cx <= 0 || size.cy <= 0) {
        return false;
    }
    const uint64_t count = static_cast<uint64_t>(size.cx) * static_cast<uint64_t>(size.cy);
    if (count > kMaxPixels) {
        return false;
    }
    const std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[count * 4]());
    if (pixels == nullptr) {
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = size.cy;  // bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(count * 4);
    if (GetDIBits(reference, bitmap, 0, static_cast<UINT>(size.cy), pixels.get(), &info, DIB_RGB_COLORS) == 0) {
        return false;
    }
    colour = AverageBgrxColour(pixels.get(), static_cast<size_t>(count));
    return true;
}

void BlendRows(HDC destination, HDC source, const RECT& destRect, const RECT& sourceRect, int fromPercent,
               int toPercent)
{
    const int width = destRect.right - destRect.left;
    const int rows = destRect.bottom - destRect.top;
    for (int i = 0; i < rows; ++i) {
        BlendRun(destination, source, destRect.left, destRect.top + i, width, 1, sourceRect.left, sourceRect.top + i,
                 RowFadeAlpha(i, rows, fromPercent, toPercent));
    }
}

void BlendColumns(HDC destination, HDC source, const RECT& destRect, const RECT& sourceRect)
{
    const int columns = destRect.right - destRect.left;
    const int height = destRect.bottom - destRect.top;
    for (int i = 0; i < columns; ++i) {
        BlendRun(destination, source, destRect.left + i, destRect.top, 1, height, sourceRect.left + i, sourceRect.top,
                 ColumnFadeAlpha(i, columns));
    }
}

void BlendCorner(HDC destination, HDC source, int x0, int y0, int right, int bottom, int side)
{
    for (int i = 0; i < side; ++i) {
        for (int j = 0; j < side; ++j) {
            const int x = right + i - x0 - side;
            const int y = bottom + j - y0 - side;
            BlendRun(destination, source, x, y, 1, 1, x, y, CornerFadeAlpha(i, j, side));
        }
    }
}
