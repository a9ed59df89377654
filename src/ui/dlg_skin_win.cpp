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

}  // namespace

void CDlgBase::SkinDeleter::operator()(Skin* skin) const
{
    delete skin;
}

void CDlgBase::DrawSkin(Canvas& canvas)
{
    if (m_bHasSkin && m_skin != nullptr) {
        BitBlt(canvas.Dc(), 0, 0, m_nSkinWidth, m_nSkinHeight, m_skin->dc, 0, 0, SRCCOPY);
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
    std::unique_ptr<Skin, SkinDeleter> skin(new Skin);
    skin->bitmap.Reset(CreateCompatibleBitmap(windowDc, size.cx, size.cy));
    skin->dc = CreateCompatibleDC(windowDc);
    if (skin->bitmap.Get() == nullptr || skin->dc == nullptr) {
        return nullptr;
    }
    skin->previous = SelectObject(skin->dc, skin->bitmap.Get());
    return skin;
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
    HDC windowDc = GetDC(hwnd);
    if (windowDc == nullptr) {
        return;
    }
    COLORREF average = 0;
    std::unique_ptr<Skin, SkinDeleter> skin;
    if (AverageColour(windowDc, image.Get(), size, average)) {
        skin = NewSkin(windowDc, size);
    }
    ReleaseDC(hwnd, windowDc);
    HDC imageDc = skin != nullptr ? CreateCompatibleDC(skin->dc) : nullptr;
    if (imageDc == nullptr) {
        return;
    }
    HGDIOBJ imagePrevious = SelectObject(imageDc, image.Get());

    const int w = size.cx;
    const int h = size.cy;
    const SkinFade fade = SkinFadeSize(w, h, self.m_nMinWidth, self.m_nMinHeight);
    const int d = fade.width;
    const int e = fade.height;
    GdiCanvas(skin->dc).Fill({0, 0, w, h}, average);
    if (d > 0 && e > 0) {
        const int c = std::min(d, e);
        BitBlt(skin->dc, 0, 0, w - c, h - c, imageDc, 0, 0, SRCCOPY);
        BlendCorner(skin->dc, imageDc, 0, 0, w, h, c);
        const RECT right{w - c, 0, w, h - c};
        BlendColumns(skin->dc, imageDc, right, right);
        const RECT bottom{0, h - c, w - c, h};
        BlendRows(skin->dc, imageDc, bottom, bottom, 0, 100);
    } else if (d > 0) {
        BitBlt(skin->dc, 0, 0, w - d, h, imageDc, 0, 0, SRCCOPY);
        const RECT right{w - d, 0, w, h};
        BlendColumns(skin->dc, imageDc, right, right);
    } else if (e > 0) {
        BitBlt(skin->dc, 0, 0, w, h - e, imageDc, 0, 0, SRCCOPY);
        const RECT bottom{0, h - e, w, h};
        BlendRows(skin->dc, imageDc, bottom, bottom, 0, 100);
    } else {
        BitBlt(skin->dc, 0, 0, w, h, imageDc, 0, 0, SRCCOPY);
    }
    SelectObject(imageDc, imagePrevious);
    DeleteDC(imageDc);

    self.m_skin = std::move(skin);
    self.m_bHasSkin = true;
    self.m_nSkinWidth = w;
    self.m_nSkinHeight = h;
    self.m_nFadeWidth = d;
    self.m_nFadeHeight = e;
    self.m_nBackgroundColour = average;
    self.ResetControls();
}
