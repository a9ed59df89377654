#pragma once

// The main window's platform pieces shared by its window procedure
// (dlg_base_win.cpp) and its skin (dlg_skin_win.cpp). Windows only.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <utility>

#include "ui/bitmap_win.h"
#include "ui/dlg_base.h"

// The composed skin: a memory device context with the skin bitmap selected.
// Members go in reverse: the bitmap is selected out, then the context and the
// bitmap are deleted.
struct CDlgBase::Skin {
    Skin(GdiBitmap picture, MemoryDc context)
        : bitmap(std::move(picture)), dc(std::move(context)), selection(dc.Get(), bitmap.Get())
    {
    }

    GdiBitmap bitmap;
    MemoryDc dc;
    SelectedObject selection;
};

struct CDlgBase::Window {
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<CDlgBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->m_hWnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<CDlgBase*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self == nullptr) {
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
        return Handle(*self, hwnd, message, wParam, lParam);
    }

    static LRESULT Handle(CDlgBase& self, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void OnCreate(CDlgBase& self, HWND hwnd);
    static void OnNcCalcSize(HWND hwnd, WPARAM wParam, LPARAM lParam);
    static LRESULT OnHitTest(CDlgBase& self, HWND hwnd, LPARAM lParam);
    static void OnSize(CDlgBase& self, HWND hwnd, WPARAM type);
    static void OnPaint(CDlgBase& self, HWND hwnd);
    static void PrintClient(CDlgBase& self, HWND hwnd, HDC target);
    static void StartMove(HWND hwnd, LPARAM lParam);
    static void OnShownOrHidden(CDlgBase& self, const WINDOWPOS& position);
    // The skin (dlg_skin_win.cpp).
    static void OnDropFiles(CDlgBase& self, HWND hwnd, HDROP drop);
    static void ApplySkin(CDlgBase& self, HWND hwnd, const std::wstring& path);
    static std::unique_ptr<Skin, SkinDeleter> NewSkin(HDC windowDc, SIZE size);
};
