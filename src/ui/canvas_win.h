#pragma once

// Window painting through an off-screen bitmap, so that a repaint after every
// lighting frame does not flicker. Windows only.
#include <winsock2.h>
#include <windows.h>

#include "ui/bitmap_win.h"
#include "ui/canvas.h"

// A canvas on a GDI device context; fills use the context's own brush, so
// painting allocates no GDI objects per fill.
class GdiCanvas final : public Canvas {
public:
    explicit GdiCanvas(HDC dc) : m_dc(dc) {}

    void Fill(const ControlRect& rect, uint32_t colour) override;
    DeviceContext Dc() override { return m_dc; }

private:
    HDC m_dc;
};

// Paints the whole client area into an off-screen bitmap compatible with
// target and copies the update rectangle of it to target; the bitmap is made
// and released on every call. Paints nothing when the bitmap cannot be made.
template <typename Paint>
void PaintOffScreen(HDC target, const RECT& client, const RECT& update, Paint&& paint)
{
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0) {
        return;
    }
    const MemoryDc memory(CreateCompatibleDC(target));
    const GdiBitmap bitmap(CreateCompatibleBitmap(target, width, height));
    if (memory.Get() == nullptr || bitmap.Get() == nullptr) {
        return;
    }
    const SelectedObject selected(memory.Get(), bitmap.Get());
    GdiCanvas canvas(memory.Get());
    paint(canvas);
    BitBlt(target, update.left, update.top, update.right - update.left, update.bottom - update.top, memory.Get(),
           update.left, update.top, SRCCOPY);
}
