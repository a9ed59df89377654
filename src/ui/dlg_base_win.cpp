// The window base on plain Win32: a top-level window of our own class, run
// modally by DoModal with the message handling the shell needs.
#include <winsock2.h>
#include <windows.h>

#include "ui/dlg_base.h"

namespace {

constexpr wchar_t kClassName[] = L"TonvikDlgBase";
constexpr int kInitialWidth = 400;
constexpr int kInitialHeight = 300;
constexpr int kOffScreen = -32000;
// SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_HIDEWINDOW
constexpr UINT kOffScreenFlags = 0x95;
// The dialog style of a frameless custom-drawn window: visibility and caption
// cleared, clipping, system menu, sizing frame, minimise and maximise boxes
// and DS_FIXEDSYS set.
constexpr DWORD kStyleKeep = 0xEF3FFFFF;
constexpr DWORD kStyleAdd = 0x060F0008;

HWND Hwnd(void* handle)
{
    return static_cast<HWND>(handle);
}

ControlRect ClientRect(HWND hwnd)
{
    RECT rect{};
    GetClientRect(hwnd, &rect);
    return {rect.left, rect.top, rect.right, rect.bottom};
}

}  // namespace

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
};

CDlgBase::CDlgBase()
{
    m_hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource));
}

CDlgBase::~CDlgBase()
{
    StopAllTimers();
    if (m_hWnd != nullptr) {
        ::DestroyWindow(Hwnd(m_hWnd));
    }
}

void CDlgBase::DoModal()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = &Window::Proc;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(m_hIcon);
    windowClass.hIconSm = static_cast<HICON>(m_hIcon);
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when already registered

    m_bEndModal = false;
    if (CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, kInitialWidth, kInitialHeight, nullptr, nullptr, instance,
                        this) == nullptr) {
        return;
    }
    OnInitDialog();

    MSG message{};
    while (!m_bEndModal && m_hWnd != nullptr) {
        const BOOL result = GetMessageW(&message, nullptr, 0, 0);
        if (result == 0 || result == -1) {
            break;
        }
        // Neither Escape nor Enter closes the window.
        if (message.message == WM_KEYDOWN && (message.wParam == VK_ESCAPE || message.wParam == VK_RETURN)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow();
}

bool CDlgBase::OnInitDialog()
{
    SetWindowIcons();
    SetWindowTitle(L"Vardo");
    CreateControls(ClientRect(Hwnd(m_hWnd)));
    ShowWindow(Hwnd(m_hWnd), SW_HIDE);
    m_nBaseTimerId = StartPeriodicTimer(0);
    m_bInitialised = true;
    return true;
}

void CDlgBase::DestroyWindow()
{
    if (m_hWnd != nullptr) {
        ::DestroyWindow(Hwnd(m_hWnd));
    }
}

void CDlgBase::CloseWindow()
{
    m_bEndModal = true;
    if (m_hWnd != nullptr) {
        PostMessageW(Hwnd(m_hWnd), WM_NULL, 0, 0);
    }
}

bool CDlgBase::IsWindowVisible() const
{
    return m_hWnd != nullptr && ::IsWindowVisible(Hwnd(m_hWnd));
}

void CDlgBase::HideWindow()
{
    if (m_hWnd == nullptr) {
        return;
    }
    // From another thread ShowWindow waits for the window's thread, which may
    // itself be waiting for that thread to stop; the asynchronous form only
    // posts the request.
    if (GetWindowThreadProcessId(Hwnd(m_hWnd), nullptr) == GetCurrentThreadId()) {
        ShowWindow(Hwnd(m_hWnd), SW_HIDE);
    } else {
        ShowWindowAsync(Hwnd(m_hWnd), SW_HIDE);
    }
}

void CDlgBase::InvalidateWindow()
{
    if (m_hWnd != nullptr) {
        InvalidateRect(Hwnd(m_hWnd), nullptr, FALSE);
    }
}

void CDlgBase::HideForGood()
{
    const HWND hwnd = Hwnd(m_hWnd);
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) & ~WS_VISIBLE);
    SetWindowLongW(hwnd, GWL_EXSTYLE, (GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    PlaceOffScreen();
}

void CDlgBase::PlaceOffScreen()
{
    SetWindowPos(Hwnd(m_hWnd), nullptr, kOffScreen, kOffScreen, 0, 0, kOffScreenFlags);
}

void CDlgBase::SetWindowIcons()
{
    SendMessageW(Hwnd(m_hWnd), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(Hwnd(m_hWnd), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
}

void CDlgBase::SetWindowTitle(const wchar_t* title)
{
    SetWindowTextW(Hwnd(m_hWnd), title);
}

// Ticks go to the controls; the base hosts none yet.
void CDlgBase::OnTimerTick(uint32_t) {}

bool CDlgBase::OnSysCommand(uint32_t)
{
    return false;
}

LRESULT CDlgBase::Window::Handle(CDlgBase& self, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        // Not resizable: no sizing frame.
        SetWindowLongW(hwnd, GWL_STYLE,
                       static_cast<LONG>(((GetWindowLongW(hwnd, GWL_STYLE) & kStyleKeep) | kStyleAdd) & ~WS_THICKFRAME));
        SetWindowLongW(hwnd, GWL_EXSTYLE, WS_EX_TOOLWINDOW);
        break;
    case WM_ERASEBKGND:
        return TRUE;
    case WM_SIZE:
        DefWindowProcW(hwnd, message, wParam, lParam);
        self.LayoutControls(ClientRect(hwnd));
        return 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(self.m_hIcon);
    case WM_CLOSE:
        self.CloseWindow();
        return 0;
    case WM_SYSCOMMAND:
        if (self.OnSysCommand(static_cast<uint32_t>(wParam & 0xFFF0))) {
            return 0;
        }
        break;
    case WM_DESTROY:
        self.StopAllTimers();
        break;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self.m_hWnd = nullptr;
        break;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
