// The main window's skin: a dropped picture file composed into the picture
// the window paints behind its controls. On the window's thread.
#include "ui/dlg_base_window_win.h"

#include <algorithm>

#include "ui/canvas_win.h"
#include "ui/window_geometry.h"

namespace {

bool HasPictureSuffix(const std::wstring& path)
{
    if (path.size() < 3) {
        return false;
    }
    const wchar_t* suffix = path.c_str() + path.size() - 3;
    return _wcsicmp(suffix, L"bmp") == 0 || _wcsicmp(suffix, L"jpg") == 0 || _wcsicmp(suffix, L"png") == 0;
}

// The first dropped path that is a picture file by name and not a directory;
// empty when there is none. Paths are read whole, however long.
std::wstring FirstDroppedPicture(HDROP drop)
{
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length, L'\0');
        if (length == 0 || DragQueryFileW(drop, i, path.data(), length + 1) != length) {
            continue;
        }
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!directory && HasPictureSuffix(path)) {
            return path;
        }
    }
    return {};
}

// The picture on the average colour, its right edge faded over fade.width
// columns and its bottom edge over fade.height rows; where both fade, the
// corner square they share fades pixel by pixel.
void PaintSkin(HDC skin, HDC image, SIZE size, SkinFade fade, COLORREF average)
{
    const int width = size.cx;
    const int height = size.cy;
    GdiCanvas(skin).Fill({0, 0, width, height}, average);
    if (fade.width > 0 && fade.height > 0) {
        const int corner = std::min(fade.width, fade.height);
        BitBlt(skin, 0, 0, width - corner, height - corner, image, 0, 0, SRCCOPY);
        BlendCorner(skin, image, 0, 0, width, height, corner);
        const RECT right{width - corner, 0, width, height - corner};
        BlendColumns(skin, image, right, right);
        const RECT bottom{0, height - corner, width - corner, height};
        BlendRows(skin, image, bottom, bottom, 0, 100);
    } else if (fade.width > 0) {
        BitBlt(skin, 0, 0, width - fade.width, height, image, 0, 0, SRCCOPY);
        const RECT right{width - fade.width, 0, width, height};
        BlendColumns(skin, image, right, right);
    } else if (fade.height > 0) {
        BitBlt(skin, 0, 0, width, height - fade.height, image, 0, 0, SRCCOPY);
        const RECT bottom{0, height - fade.height, width, height};
        BlendRows(skin, image, bottom, bottom, 0, 100);
    } else {
        BitBlt(skin, 0, 0, width, height, image, 0, 0, SRCCOPY);
    }
}

}  // namespace

void CDlgBase::SkinDeleter::operator()(Skin* skin) const
{
    delete skin;
}

void CDlgBase::DrawSkin(Canvas& canvas)
{
    if (m_bHasSkin && m_skin != nullptr) {
        BitBlt(canvas.Dc(), 0, 0, m_nSkinWidth, m_nSkinHeight, m_skin->dc.Get(), 0, 0, SRCCOPY);
    }
}

void CDlgBase::Window::OnDropFiles(CDlgBase& self, HWND hwnd, HDROP drop)
{
    const std::wstring path = FirstDroppedPicture(drop);
    DragFinish(drop);
    if (!path.empty()) {
        ApplySkin(self, hwnd, path);
    }
}

// A blank skin of the given size, compatible with the window; null when the
// system has no room for it.
std::unique_ptr<CDlgBase::Skin, CDlgBase::SkinDeleter> CDlgBase::Window::NewSkin(HDC windowDc, SIZE size)
{
    GdiBitmap bitmap(CreateCompatibleBitmap(windowDc, size.cx, size.cy));
    MemoryDc dc(CreateCompatibleDC(windowDc));
    if (bitmap.Get() == nullptr || dc.Get() == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<Skin, SkinDeleter>(new Skin(std::move(bitmap), std::move(dc)));
}

// Composes the skin from a picture file: the picture on its average colour,
// faded at the edges that are smaller than the window's minimum size. Nothing
// changes unless every step succeeds.
void CDlgBase::Window::ApplySkin(CDlgBase& self, HWND hwnd, const std::wstring& path)
{
    GdiBitmap image;
    SIZE size{};
    if (!LoadBitmapFile(path.c_str(), image, size)) {
        return;
    }
    COLORREF average = 0;
    std::unique_ptr<Skin, SkinDeleter> skin;
    {
        const WindowDc windowDc(hwnd);
        if (windowDc.Get() == nullptr) {
            return;
        }
        if (AverageColour(windowDc.Get(), image.Get(), size, average)) {
            skin = NewSkin(windowDc.Get(), size);
        }
    }
    if (skin == nullptr) {
        return;
    }
    const SkinFade fade = SkinFadeSize(size.cx, size.cy, self.m_nMinWidth, self.m_nMinHeight);
    {
        const MemoryDc imageDc(CreateCompatibleDC(skin->dc.Get()));
        if (imageDc.Get() == nullptr) {
            return;
        }
        const SelectedObject selected(imageDc.Get(), image.Get());
        PaintSkin(skin->dc.Get(), imageDc.Get(), size, fade, average);
    }

    self.m_skin = std::move(skin);
    self.m_bHasSkin = true;
    self.m_nSkinWidth = size.cx;
    self.m_nSkinHeight = size.cy;
    self.m_nFadeWidth = fade.width;
    self.m_nFadeHeight = fade.height;
    self.m_nBackgroundColour = average;
    self.ResetControls();
}
