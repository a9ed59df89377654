// The window base on plain Win32: a top-level window of our own class, run
// modally by DoModal. All of it runs on the window's thread, except
// IsWindowVisible, HideWindow and InvalidateWindow, which the lighting thread
// calls too, and the base timer's tick (timer thread).
#include "ui/dlg_base_window_win.h"

#include <windowsx.h>

#include <algorithm>
#include <array>

#include "ui/canvas_win.h"
#include "ui/window_geometry.h"

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
// Each corner loses its outermost pixel while the window is not maximised.
constexpr std::array<int, 1> kCornerTable{1};

HWND Hwnd(void* handle)
{
    return static_cast<HWND>(handle);
}

ControlRect FromRect(const RECT& rect)
{
    return {rect.left, rect.top, rect.right, rect.bottom};
}

RECT ToRect(const ControlRect& rect)
{
    return {rect.left, rect.top, rect.right, rect.bottom};
}

ControlRect ClientRect(HWND hwnd)
{
    RECT rect{};
    GetClientRect(hwnd, &rect);
    return FromRect(rect);
}

LRESULT HitCode(HitZone zone)
{
    switch (zone) {
    case HitZone::Left:
        return HTLEFT;
    case HitZone::Right:
        return HTRIGHT;
    case HitZone::Top:
        return HTTOP;
    case HitZone::Bottom:
        return HTBOTTOM;
    case HitZone::TopLeft:
        return HTTOPLEFT;
    case HitZone::TopRight:
        return HTTOPRIGHT;
    case HitZone::BottomLeft:
        return HTBOTTOMLEFT;
    case HitZone::BottomRight:
        return HTBOTTOMRIGHT;
    case HitZone::Client:
        break;
    }
    return HTCLIENT;
}

// The window's region: its rectangle, less the corner cuts unless maximised.
// The system owns the region once it is set, so it is not kept here.
void ApplyRegion(HWND hwnd, bool maximised)
{
    RECT window{};
    GetWindowRect(hwnd, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    HRGN region = CreateRectRgn(0, 0, width, height);
    if (region == nullptr) {
        return;
    }
    const std::span<const int> table = maximised ? std::span<const int>() : std::span<const int>(kCornerTable);
    for (const ControlRect& cut : CornerCuts(width, height, table)) {
        HRGN piece = CreateRectRgn(cut.left, cut.top, cut.right, cut.bottom);
        if (piece != nullptr) {
            CombineRgn(region, region, piece, RGN_XOR);
            DeleteObject(piece);
        }
    }
    if (SetWindowRgn(hwnd, region, TRUE) == 0) {
        DeleteObject(region);
    }
}

}  // namespace

CDlgBase::CDlgBase()
{
    m_hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource));
}

// The icon is a shared resource icon: the system frees it with the module.
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

void CDlgBase::MinimizeWindow()
{
    ShowWindow(Hwnd(m_hWnd), SW_MINIMIZE);
}

int CDlgBase::ToggleMaximize()
{
    if (IsZoomed(Hwnd(m_hWnd))) {
        ShowWindow(Hwnd(m_hWnd), SW_RESTORE);
        return 0;
    }
    ShowWindow(Hwnd(m_hWnd), SW_MAXIMIZE);
    return 1;
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
    // The renderer asks after every frame; a hidden window has nothing to
    // repaint, so it gets no paint message at all.
    if (IsWindowVisible()) {
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

bool CDlgBase::TrackMouse()
{
    TRACKMOUSEEVENT request{};
    request.cbSize = sizeof request;
    request.dwFlags = TME_LEAVE | TME_HOVER;
    request.hwndTrack = Hwnd(m_hWnd);
    request.dwHoverTime = 1;
    return TrackMouseEvent(&request) != FALSE;
}

void CDlgBase::CaptureMouse()
{
    SetCapture(Hwnd(m_hWnd));
}

void CDlgBase::ReleaseMouse()
{
    if (GetCapture() == Hwnd(m_hWnd)) {
        ReleaseCapture();
    }
}

bool CDlgBase::CursorInClient(int32_t& x, int32_t& y) const
{
    POINT point{};
    if (m_hWnd == nullptr || !GetCursorPos(&point) || !ScreenToClient(Hwnd(m_hWnd), &point)) {
        return false;
    }
    x = point.x;
    y = point.y;
    return true;
}

void CDlgBase::InvalidateClient(const ControlRect* rect, bool erase)
{
    if (m_hWnd == nullptr) {
        return;
    }
    const RECT area = rect != nullptr ? ToRect(*rect) : RECT{};
    InvalidateRect(Hwnd(m_hWnd), rect != nullptr ? &area : nullptr, erase ? TRUE : FALSE);
}

void CDlgBase::Window::OnCreate(CDlgBase& self, HWND hwnd)
{
    DWORD style = (static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)) & kStyleKeep) | kStyleAdd;
    if (!self.m_bResizable) {
        style &= ~static_cast<DWORD>(WS_THICKFRAME);
    }
    SetWindowLongW(hwnd, GWL_STYLE, static_cast<LONG>(style));
    SetWindowLongW(hwnd, GWL_EXSTYLE, WS_EX_TOOLWINDOW);
    // After the extended style is set, or setting it would take back the
    // acceptance of dropped files.
    DragAcceptFiles(hwnd, TRUE);
}

// The client area is the whole window: no caption, no frame.
void CDlgBase::Window::OnNcCalcSize(HWND hwnd, WPARAM wParam, LPARAM lParam)
{
    RECT* client = nullptr;
    const WINDOWPOS* position = nullptr;
    if (wParam != FALSE) {
        auto* params = reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam);
        client = &params->rgrc[0];
        position = params->lppos;
    } else {
        client = reinterpret_cast<RECT*>(lParam);
    }
    if (position != nullptr) {
        *client = {position->x, position->y, position->x + position->cx, position->y + position->cy};
    } else {
        GetWindowRect(hwnd, client);
    }
}

LRESULT CDlgBase::Window::OnHitTest(CDlgBase& self, HWND hwnd, LPARAM lParam)
{
    if (!self.m_bResizable) {
        return HTCLIENT;
    }
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(hwnd, &point);
    RECT window{};
    GetWindowRect(hwnd, &window);
    return HitCode(BorderHitZone(point.x, point.y, window.right - window.left, window.bottom - window.top,
                                 self.m_nBorderWidth, self.m_nBorderHeight));
}

void CDlgBase::Window::OnSize(CDlgBase& self, HWND hwnd, WPARAM type)
{
    if (type != SIZE_MINIMIZED) {
        const bool maximised = type == SIZE_MAXIMIZED;
        ApplyRegion(hwnd, maximised);
        self.m_nBorderWidth = maximised ? 0 : kBorder;
        self.m_nBorderHeight = maximised ? 0 : kBorder;
        if (CControl* frame = self.FindSysControl(kFrameId)) {
            frame->Show(!maximised);
            if (frame->m_pOwner != nullptr) {
                frame->m_pOwner->OnRedrawRegion(frame->GetRect(), true, frame);
            }
        }
    }
    const ControlRect client = ClientRect(hwnd);
    self.LayoutSysButtons(client);
    self.LayoutControls(client);
    InvalidateRect(hwnd, nullptr, TRUE);
}

void CDlgBase::Window::OnPaint(CDlgBase& self, HWND hwnd)
{
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd, &paint);
    if (dc == nullptr) {
        return;
    }
    if (::IsWindowVisible(hwnd)) {
        RECT client{};
        GetClientRect(hwnd, &client);
        if (IsIconic(hwnd)) {
            const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
            const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
            DrawIcon(dc, x, y, static_cast<HICON>(self.m_hIcon));
        } else {
            PaintOffScreen(dc, client, paint.rcPaint, [&](Canvas& canvas) {
                self.OnPaint(canvas, FromRect(client), FromRect(paint.rcPaint));
            });
        }
    }
    EndPaint(hwnd, &paint);
}

// A print of the client area into a device context the caller owns, shown or not.
void CDlgBase::Window::PrintClient(CDlgBase& self, HWND hwnd, HDC target)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    PaintOffScreen(target, client, client,
                   [&](Canvas& canvas) { self.OnPaint(canvas, FromRect(client), FromRect(client)); });
}

// A press on free client area drags the window, as a press on a caption would.
void CDlgBase::Window::StartMove(HWND hwnd, LPARAM lParam)
{
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ClientToScreen(hwnd, &point);
    PostMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(point.x, point.y));
}

// Nothing is drawn or animated on a hidden window, so the base timer runs
// only while the window is shown (ShowWindow and SetWindowPos both end here).
void CDlgBase::Window::OnShownOrHidden(CDlgBase& self, const WINDOWPOS& position)
{
    if ((position.flags & SWP_SHOWWINDOW) != 0 && self.m_nBaseTimerId == 0) {
        self.m_nBaseTimerId = self.StartPeriodicTimer(0);
    } else if ((position.flags & SWP_HIDEWINDOW) != 0 && self.m_nBaseTimerId != 0) {
        self.StopTimer(self.m_nBaseTimerId.exchange(0));
    }
}

LRESULT CDlgBase::Window::Handle(CDlgBase& self, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    const int32_t x = GET_X_LPARAM(lParam);
    const int32_t y = GET_Y_LPARAM(lParam);
    switch (message) {
    case WM_CREATE:
        OnCreate(self, hwnd);
        break;
    case WM_NCCALCSIZE: {
        const LRESULT result = DefWindowProcW(hwnd, message, wParam, lParam);
        OnNcCalcSize(hwnd, wParam, lParam);
        return result;
    }
    case WM_NCPAINT:
        return 0;
    case WM_NCACTIVATE:
        self.HandleActivation(wParam != FALSE);
        return TRUE;
    case WM_ERASEBKGND:
        return TRUE;
    case WM_NCHITTEST:
        return OnHitTest(self, hwnd, lParam);
    case WM_GETMINMAXINFO: {
        DefWindowProcW(hwnd, message, wParam, lParam);
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = {self.m_nMinWidth, self.m_nMinHeight};
        RECT work{};
        if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
            info->ptMaxSize = {work.right - work.left, work.bottom - work.top};
            info->ptMaxPosition = {work.left, work.top};
        }
        return 0;
    }
    case WM_WINDOWPOSCHANGING: {
        auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
        position->cx = std::max(position->cx, self.m_nMinWidth);
        position->cy = std::max(position->cy, self.m_nMinHeight);
        break;
    }
    case WM_WINDOWPOSCHANGED:
        OnShownOrHidden(self, *reinterpret_cast<const WINDOWPOS*>(lParam));
        break;
    case WM_SIZE:
        DefWindowProcW(hwnd, message, wParam, lParam);
        OnSize(self, hwnd, wParam);
        return 0;
    case WM_PAINT:
        OnPaint(self, hwnd);
        return 0;
    case WM_PRINTCLIENT:
        PrintClient(self, hwnd, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_MOUSEMOVE:
        self.HandleMouseMove(x, y);
        return 0;
    case WM_MOUSELEAVE:
        self.HandleMouseLeave();
        return 0;
    case WM_MOUSEHOVER:
        return 0;
    case WM_LBUTTONDOWN:
        if (self.HandleLButtonDown(x, y) == Press::Taken) {
            return 0;
        }
        StartMove(hwnd, lParam);
        break;
    case WM_LBUTTONUP:
        self.HandleLButtonUp(x, y);
        break;
    case WM_LBUTTONDBLCLK: {
        const Press press = self.HandleDoubleClick(x, y);
        if (press == Press::Taken) {
            return 0;
        }
        if (press == Press::MoveWindow) {
            StartMove(hwnd, lParam);
        }
        break;
    }
    case WM_DROPFILES:
        OnDropFiles(self, hwnd, reinterpret_cast<HDROP>(wParam));
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
