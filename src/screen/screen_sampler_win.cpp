// Screen sampling with GDI and GDI+: each pass copies the whole desktop into a
// 480 x 270 DIB section with StretchBlt, lets GDI+ draw that into a bitmap of
// one pixel per grid cell (its default interpolation), and reads those pixels.
// Every GDI and GDI+ object lives for one pass only. A pass that cannot get
// the desktop, a device context, the section or a GDI+ bitmap ends quietly
// and leaves the grid as it was; a failed pixel read repeats the pass's last
// good colour (StoreCells).
//
// Threads: the sampler thread alone makes these calls. GDI+ is started by the
// application before the main window (which owns the sampler) exists and shut
// down after it is gone.
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>  // before gdiplus.h, which needs it under WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include <memory>
#include <optional>
#include <type_traits>

#include "screen/grid_reducer.h"
#include "screen/screen_sampler.h"

namespace {

using namespace Gdiplus::DllExports;
using Gdiplus::GpBitmap;
using Gdiplus::GpGraphics;
using Gdiplus::GpImage;

constexpr int kPictureWidth = ScreenSampler::kPictureWidth;
constexpr int kPictureHeight = ScreenSampler::kPictureHeight;

struct ScreenDc {
    HWND window;
    HDC dc;
    ~ScreenDc() { ReleaseDC(window, dc); }
};

struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
struct ObjectDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
struct ImageDeleter {
    void operator()(GpBitmap* bitmap) const { GdipDisposeImage(reinterpret_cast<GpImage*>(bitmap)); }
};
struct GraphicsDeleter {
    void operator()(GpGraphics* graphics) const { GdipDeleteGraphics(graphics); }
};
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;
using Section = std::unique_ptr<std::remove_pointer_t<HBITMAP>, ObjectDeleter>;
using Bitmap = std::unique_ptr<GpBitmap, ImageDeleter>;
using Graphics = std::unique_ptr<GpGraphics, GraphicsDeleter>;

// The section leaves the memory context before either is deleted.
struct Selection {
    HDC dc;
    HGDIOBJ previous;
    ~Selection() { SelectObject(dc, previous); }
};

// The screen's size in pixels: the display mode's, which on a scaled display
// is the physical size and larger than the system metrics report.
SIZE SourceSize()
{
    SIZE size{GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (EnumDisplaySettingsExW(nullptr, ENUM_CURRENT_SETTINGS, &mode, 0)) {
        size.cx = static_cast<LONG>(mode.dmPelsWidth);
        size.cy = static_cast<LONG>(mode.dmPelsHeight);
    }
    return size;
}

class GdiScreenSampler final : public ScreenSampler {
public:
    Result Sample(ScreenGrid& grid, int columns, int rows) override;
};

ScreenSampler::Result GdiScreenSampler::Sample(ScreenGrid& grid, int columns, int rows)
{
    const HWND desktop = GetDesktopWindow();
    if (desktop == nullptr) {
        return Result::Failed;
    }
    const HDC screenDc = GetDC(desktop);
    if (screenDc == nullptr) {
        return Result::Failed;
    }
    const ScreenDc screen{desktop, screenDc};
    const MemoryDc memory(CreateCompatibleDC(screen.dc));
    if (!memory) {
        return Result::Failed;
    }

    // 32 bits per pixel, positive height: rows stored bottom-up. The size
    // field is informational for BI_RGB; GDI works the size out itself.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kPictureWidth;
    info.bmiHeader.biHeight = kPictureHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = kPictureWidth * kPictureHeight;
    void* bits = nullptr;
    const Section section(CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!section) {
        return Result::Failed;
    }
    {
        const Selection selected{memory.get(), SelectObject(memory.get(), section.get())};
        const SIZE source = SourceSize();
        // The context's default stretch mode is kept.
        StretchBlt(memory.get(), 0, 0, kPictureWidth, kPictureHeight, screen.dc, 0, 0, source.cx, source.cy, SRCCOPY);
    }

    GpBitmap* large = nullptr;
    if (GdipCreateBitmapFromHBITMAP(section.get(), nullptr, &large) != Gdiplus::Ok) {
        return Result::Failed;
    }
    const Bitmap picture(large);
    GpBitmap* small = nullptr;
    if (GdipCreateBitmapFromScan0(columns, rows, 0, PixelFormat32bppARGB, nullptr, &small) != Gdiplus::Ok) {
        return Result::Failed;
    }
    const Bitmap cells(small);
    GpGraphics* context = nullptr;
    if (GdipGetImageGraphicsContext(reinterpret_cast<GpImage*>(cells.get()), &context) != Gdiplus::Ok) {
        return Result::Failed;
    }
    {
        const Graphics graphics(context);
        GdipDrawImageRectI(graphics.get(), reinterpret_cast<GpImage*>(picture.get()), 0, 0, columns, rows);
    }
    StoreCells(grid, columns, rows, [&cells](int c, int r) -> std::optional<uint32_t> {
        Gdiplus::ARGB pixel = 0;
        if (GdipBitmapGetPixel(cells.get(), c, r, &pixel) != Gdiplus::Ok) {
            return std::nullopt;
        }
        return static_cast<uint32_t>(pixel);
    });
    return Result::Sampled;
}

}  // namespace

std::unique_ptr<ScreenSampler> OpenScreenSampler()
{
    return std::make_unique<GdiScreenSampler>();
}
