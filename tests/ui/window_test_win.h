#pragma once

// Helpers of the Windows window tests: a window run modally on a thread of
// its own, bitmaps to print into, and picture files.
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

template <typename Pred>
bool WaitFor(Pred pred, int ms = 3000)
{
    for (int waited = 0; waited < ms && !pred(); waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

struct GdiplusSession {
    GdiplusSession()
    {
        const Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(token); }
    ULONG_PTR token = 0;
};

// A black 32-bit top-down DIB section selected into a memory device context.
class Dib {
public:
    Dib(int width, int height) : m_width(width)
    {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        m_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_pixels = static_cast<uint32_t*>(bits);
        dc = CreateCompatibleDC(nullptr);
        m_previous = SelectObject(dc, m_bitmap);
    }
    ~Dib()
    {
        SelectObject(dc, m_previous);
        DeleteDC(dc);
        DeleteObject(m_bitmap);
    }
    Dib(const Dib&) = delete;
    Dib& operator=(const Dib&) = delete;

    // Colours as colour references, 0x00BBGGRR.
    COLORREF Colour(int x, int y) const
    {
        GdiFlush();
        const uint32_t pixel = m_pixels[y * m_width + x];
        return RGB(pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF);
    }
    void Set(int x, int y, COLORREF colour)
    {
        m_pixels[y * m_width + x] = GetRValue(colour) << 16 | GetGValue(colour) << 8 | GetBValue(colour);
    }

    HDC dc = nullptr;

private:
    int m_width;
    HBITMAP m_bitmap = nullptr;
    uint32_t* m_pixels = nullptr;
    HGDIOBJ m_previous = nullptr;
};

// Writes a PNG of width × height pixels given as 0xAARRGGBB, row by row.
inline bool WritePng(const std::filesystem::path& path, int width, int height, std::vector<uint32_t> argb)
{
    static const CLSID kPngEncoder = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    using namespace Gdiplus::DllExports;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (GdipCreateBitmapFromScan0(width, height, width * 4, PixelFormat32bppARGB,
                                  reinterpret_cast<BYTE*>(argb.data()), &bitmap) != Gdiplus::Ok) {
        return false;
    }
    const bool saved = GdipSaveImageToFile(bitmap, path.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
    GdipDisposeImage(bitmap);
    return saved;
}

// A fresh directory under the temporary folder, removed with its contents.
struct TempDir {
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    static inline int count = 0;
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("tonvik-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                        std::to_string(++count));
};

// A dialog run modally on a thread of its own, as the application runs its
// main window, then closed and joined. Its window procedure is watched: the
// messages it gets are counted, and code can be run on its thread.
template <typename Dlg>
class ModalWindow {
public:
    explicit ModalWindow(std::unique_ptr<Dlg> dlg) : m_dlg(std::move(dlg))
    {
        m_thread = std::thread([this] { m_dlg->DoModal(); });
        WaitFor([this] { return m_dlg->WindowHandle() != nullptr; });
        hwnd = static_cast<HWND>(m_dlg->WindowHandle());
        SetPropW(hwnd, kProp, this);
        m_original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
        SendMessageW(hwnd, WM_NULL, 0, 0);  // initialisation is over once the loop answers
    }
    ~ModalWindow()
    {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        m_thread.join();
    }

    Dlg& dlg() { return *m_dlg; }
    int Count(UINT message)
    {
        std::lock_guard lock(m_mutex);
        return m_counts[message];
    }
    void Run(const std::function<void()>& code) { SendMessageW(hwnd, kRun, 0, reinterpret_cast<LPARAM>(&code)); }
    // Waits until everything posted to the window so far has been handled.
    bool Flush()
    {
        const int before = Count(kMarker);
        PostMessageW(hwnd, kMarker, 0, 0);
        return WaitFor([&] { return Count(kMarker) > before; });
    }
    // The client area as painted into a bitmap, shown or not.
    std::unique_ptr<Dib> Print()
    {
        RECT rect{};
        GetClientRect(hwnd, &rect);
        auto dib = std::make_unique<Dib>(rect.right, rect.bottom);
        SendMessageW(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dib->dc), PRF_CLIENT);
        return dib;
    }

    HWND hwnd = nullptr;

private:
    static constexpr wchar_t kProp[] = L"TonvikTestWindow";
    static constexpr UINT kRun = WM_APP + 71;
    static constexpr UINT kMarker = WM_APP + 72;

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = static_cast<ModalWindow*>(GetPropW(hwnd, kProp));
        {
            std::lock_guard lock(self->m_mutex);
            ++self->m_counts[message];
        }
        if (message == kRun) {
            (*reinterpret_cast<const std::function<void()>*>(lParam))();
        } else if (message == WM_NCDESTROY) {
            RemovePropW(hwnd, kProp);
        }
        return CallWindowProcW(self->m_original, hwnd, message, wParam, lParam);
    }

    std::unique_ptr<Dlg> m_dlg;
    std::thread m_thread;
    WNDPROC m_original = nullptr;
    std::mutex m_mutex;
    std::map<UINT, int> m_counts;
};

}  // namespace wintest
