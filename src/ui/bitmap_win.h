#pragma once

// The bitmap and blending helpers that turn a picture file into a window skin.
// Windows only: GDI device contexts and bitmaps, GDI+ for decoding (started
// by the application object, or by whoever calls LoadBitmapFile). Every
// blended row, column or pixel is one constant-alpha AlphaBlend; the alphas
// come from blend_alpha.h.
#include <winsock2.h>
#include <windows.h>

#include <utility>

// Owns a GDI bitmap handle.
class GdiBitmap {
public:
    GdiBitmap() = default;
    explicit GdiBitmap(HBITMAP handle) : m_handle(handle) {}
    GdiBitmap(GdiBitmap&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    GdiBitmap& operator=(GdiBitmap&& other) noexcept
    {
        Reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    ~GdiBitmap() { Reset(nullptr); }

    HBITMAP Get() const { return m_handle; }
    void Reset(HBITMAP handle)
    {
        if (m_handle != nullptr) {
            DeleteObject(m_handle);
        }
        m_handle = handle;
    }

private:
    HBITMAP m_handle = nullptr;
};

// Owns a memory device context (CreateCompatibleDC) and deletes it.
class MemoryDc {
public:
    explicit MemoryDc(HDC dc) : m_dc(dc) {}
    MemoryDc(MemoryDc&& other) noexcept : m_dc(std::exchange(other.m_dc, nullptr)) {}
    MemoryDc& operator=(MemoryDc&&) = delete;
    ~MemoryDc()
    {
        if (m_dc != nullptr) {
            DeleteDC(m_dc);
        }
    }

    HDC Get() const { return m_dc; }

private:
    HDC m_dc;
};

// A window's device context (GetDC), released when it goes.
class WindowDc {
public:
    explicit WindowDc(HWND hwnd) : m_hwnd(hwnd), m_dc(GetDC(hwnd)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc()
    {
        if (m_dc != nullptr) {
            ReleaseDC(m_hwnd, m_dc);
        }
    }

    HDC Get() const { return m_dc; }

private:
    HWND m_hwnd;
    HDC m_dc;
};

// Selects an object into a device context; selects the one it replaced back
// when it goes, so the object can then be deleted.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(SelectObject(dc, object)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() { SelectObject(m_dc, m_previous); }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// Decodes a picture file (bmp, jpg, png, ...) into a device-dependent bitmap;
// transparent parts come out black. On success the bitmap takes the new
// handle and size its width and height; on failure both are left as they were.
bool LoadBitmapFile(const wchar_t* path, GdiBitmap& bitmap, SIZE& size);

// The average colour (0x00BBGGRR) of a bitmap of the given size that is not
// selected into a device context; reference is a device context it is
// compatible with. False, with the colour unchanged, when the pixels cannot be
// read.
bool AverageColour(HDC reference, HBITMAP bitmap, SIZE size, COLORREF& colour);

// Blends the source rectangle onto the destination row by row, fading from
// fromPercent to toPercent opacity.
void BlendRows(HDC destination, HDC source, const RECT& destRect, const RECT& sourceRect, int fromPercent,
               int toPercent);

// Blends column by column, from opaque at the left to nearly transparent.
void BlendColumns(HDC destination, HDC source, const RECT& destRect, const RECT& sourceRect);

// Blends the side × side square that ends at (right, bottom), offset by
// (x0, y0), pixel by pixel: opaque at its top-left pixel, transparent from
// distance side on.
void BlendCorner(HDC destination, HDC source, int x0, int y0, int right, int bottom, int side);
