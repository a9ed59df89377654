#pragma once

// Helpers of the Windows window tests: a window run modally on a thread of
// its own, bitmaps to print into, and picture files.
#include <winsock2.h>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
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
    for (int waited = 0; waited < ms; waited += 5) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

class GdiplusSession {
public:
    GdiplusSession()
    {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&m_token, &input, nullptr);
    }
    ~GdiplusSession() { Gdiplus::GdiplusShutdown(m_token); }

private:
    ULONG_PTR m_token = 0;
};

// A 32-bit top-down DIB section selected into a memory device context.
class Dib {
public:
    Dib(int width, int height) : m_width(width)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
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

    // As a colour reference: 0x00BBGGRR.
    COLORREF Colour(int x, int y) const
    {
        GdiFlush();
        const uint32_t pixel = m_pixels[y * m_width + x];
        return RGB(pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF);
    }
    void Set(int x, int y, COLORREF colour)
    {
        GdiFlush();
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
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromScan0(width, height, width * 4, PixelFormat32bppARGB,
                                                       reinterpret_cast<BYTE*>(argb.data()), &bitmap) != Gdiplus::Ok) {
        return false;
    }
    const bool saved =
        Gdiplus::DllExports::GdipSaveImageToFile(bitmap, path.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
    return saved;
}

// A fresh directory under the temporary folder, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               ("tonvik-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    std::filesystem::path path;
};

// Watches a window's messages from inside its own procedure: counts the ones
// asked for, and runs code on the window's thread.
class WindowSpy {
public:
    static constexpr UINT kRun = WM_APP + 71;
    static constexpr UINT kMarker = WM_APP + 72;

    void Attach(HWND hwnd)
    {
        SetPropW(hwnd, L"TonvikTestSpy", this);
        m_original = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowSpy::Proc)));
    }
    int Count(UINT message)
    {
        std::lock_guard lock(m_mutex);
        return m_counts[message];
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* spy = static_cast<WindowSpy*>(GetPropW(hwnd, L"TonvikTestSpy"));
        {
            std::lock_guard lock(spy->m_mutex);
            ++spy->m_counts[message];
        }
        if (message == kRun) {
            (*reinterpret_cast<const std::function<void()>*>(lParam))();
            return 0;
        }
        if (message == WM_NCDESTROY) {
            RemovePropW(hwnd, L"TonvikTestSpy");
        }
        return CallWindowProcW(spy->m_original, hwnd, message, wParam, lParam);
    }

    WNDPROC m_original = nullptr;
    std::mutex m_mutex;
    std::map<UINT, int> m_counts;
};

// A dialog run modally on a thread of its own, as the application runs its
// main window; closed and joined at the end.
template <typename Dlg>
class ModalWindow {
public:
    explicit ModalWindow(std::unique_ptr<Dlg> dlg) : m_dlg(std::move(dlg))
    {
        m_thread = std::thread([this] { m_dlg->DoModal(); });
        WaitFor([this] { return m_dlg->WindowHandle() != nullptr; });
        hwnd = static_cast<HWND>(m_dlg->WindowHandle());
        if (hwnd != nullptr) {
            spy.Attach(hwnd);
            SendMessageW(hwnd, WM_NULL, 0, 0);  // initialisation is over once the loop answers
        }
    }
    ~ModalWindow()
    {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        m_thread.join();
    }
    ModalWindow(const ModalWindow&) = delete;
    ModalWindow& operator=(const ModalWindow&) = delete;

    Dlg& dlg() { return *m_dlg; }
    // Runs code on the window's thread and returns when it is done.
    void Run(const std::function<void()>& code) { SendMessageW(hwnd, WindowSpy::kRun, 0, reinterpret_cast<LPARAM>(&code)); }
    // Waits until everything posted to the window so far has been handled.
    bool Flush()
    {
        const int before = spy.Count(WindowSpy::kMarker);
        PostMessageW(hwnd, WindowSpy::kMarker, 0, 0);
        return WaitFor([&] { return spy.Count(WindowSpy::kMarker) > before; });
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
    WindowSpy spy;

private:
    std::unique_ptr<Dlg> m_dlg;
    std::thread m_thread;
};

}  // namespace wintest
