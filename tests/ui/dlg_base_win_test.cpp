// The dialog base as a real window under Wine: a resizable test window with
// test controls, driven by window messages and by injected mouse input.
#include "ui/dlg_base.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>

#include "ui/rect.h"
#include "ui/window_test_win.h"

namespace {

using wintest::ModalWindow;
using wintest::WaitFor;

constexpr int kLeft = 100;
constexpr int kTop = 100;
constexpr uint32_t kNoFill = 0xFFFFFFFF;

// What the test controls report, in order, from the window's thread.
class EventLog {
public:
    void Add(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::vector<std::string> Events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

// Fills its rectangle with its colour and logs entering, leaving, presses and
// releases under its name; counts timer ticks.
class TestControl final : public CControl {
public:
    TestControl(const char* name, uint32_t id, ControlRect rect, CMessageInterface* owner, EventLog& log,
                uint32_t colour)
        : CControl(id, rect, owner), m_name(name), m_log(log), m_colour(colour)
    {
    }

    void Draw(Canvas& canvas, const ControlRect&) override
    {
        if (m_colour != kNoFill) {
            canvas.Fill(m_rect, m_colour);
        }
    }

    std::atomic<int> ticks{0};

protected:
    void OnMouseMove(int32_t x, int32_t y) override
    {
        const bool inside = RectContains(m_rect, x, y);
        if (inside != m_bInside) {
            m_log.Add(m_name + (inside ? " enter" : " leave"));
        }
        m_bInside = inside;
    }
    void OnLButtonDown(int32_t, int32_t) override { m_log.Add(m_name + " down"); }
    void OnLButtonUp(int32_t, int32_t) override { m_log.Add(m_name + " up"); }
    void OnTimerTick(uint32_t) override { ++ticks; }

private:
    std::string m_name;
    EventLog& m_log;
    uint32_t m_colour;
    bool m_bInside = false;
};

// Control A (with child A1) and B side by side, a stack of one control of
// each list over the same square, the system buttons and the frame control.
class TestDlg final : public CDlgBase {
public:
    explicit TestDlg(bool resizable) { m_bResizable = resizable; }
    ~TestDlg() { StopAllTimers(); }

    bool OnInitDialog() override
    {
        CDlgBase::OnInitDialog();
        SetWindowPos(static_cast<HWND>(WindowHandle()), nullptr, kLeft, kTop, 400, 300,
                     SWP_NOZORDER | SWP_SHOWWINDOW);
        return true;
    }
    void CreateControls(const ControlRect&) override
    {
        auto a = Make(m_controls, "A", 1, {20, 40, 120, 140}, kNoFill);
        a->AddChild(std::make_unique<TestControl>("A1", 11, ControlRect{40, 60, 80, 100}, this, log, kNoFill));
        Make(m_controls, "B", 2, {200, 40, 300, 140}, kNoFill);
        stacked[0] = Make(m_staticControls, "S", 7, kStack, RGB(1, 0, 0));
        stacked[1] = Make(m_sysControls, "Y", 8, kStack, RGB(2, 0, 0));
        stacked[2] = Make(m_controls, "C", 7, kStack, RGB(3, 0, 0));
        stacked[3] = Make(m_sysButtons, "Z", 9, kStack, RGB(4, 0, 0));
        Make(m_sysButtons, "min", kMinimizeId, {}, kNoFill);
        Make(m_sysButtons, "close", kCloseId, {}, kNoFill);
        frame = Make(m_sysControls, "frame", kFrameId, {}, kNoFill);
    }
    void LayoutControls(const ControlRect&) override {}
    int OnControlNotify(uint32_t id, uint32_t code, uint32_t, uint32_t) override
    {
        log.Add("notify " + std::to_string(id) + " " + std::to_string(code));
        return 0;
    }

    uint32_t Background() const { return m_nBackgroundColour; }
    bool HasSkin() const { return m_bHasSkin; }

    static constexpr ControlRect kStack{150, 150, 190, 190};
    EventLog log;
    TestControl* stacked[4] = {};
    TestControl* frame = nullptr;

private:
    TestControl* Make(ControlList& list, const char* name, uint32_t id, ControlRect rect, uint32_t colour)
    {
        list.push_back(std::make_unique<TestControl>(name, id, rect, this, log, colour));
        return static_cast<TestControl*>(list.back().get());
    }
};

LRESULT HitTest(HWND hwnd, int x, int y)
{
    RECT window{};
    GetWindowRect(hwnd, &window);
    return SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(window.left + x, window.top + y));
}

// The pixels of the window's rectangle that its region leaves out.
std::vector<POINT> PixelsOutsideRegion(HWND hwnd)
{
    RECT window{};
    GetWindowRect(hwnd, &window);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    std::vector<POINT> outside;
    if (GetWindowRgn(hwnd, region) != ERROR) {
        for (int y = 0; y < window.bottom - window.top; ++y) {
            for (int x = 0; x < window.right - window.left; ++x) {
                if (!PtInRegion(region, x, y)) {
                    outside.push_back({x, y});
                }
            }
        }
    }
    DeleteObject(region);
    return outside;
}

SIZE WindowSize(HWND hwnd)
{
    RECT window{};
    GetWindowRect(hwnd, &window);
    return {window.right - window.left, window.bottom - window.top};
}

TEST(DlgBaseWindow, ResizeZonesCornerRegionAndMinimumSize)
{
    ModalWindow window(std::make_unique<TestDlg>(true));
    const HWND hwnd = window.hwnd;
    ASSERT_NE(hwnd, nullptr);
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
              WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_EXSTYLE) & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_ACCEPTFILES),
              WS_EX_TOOLWINDOW | WS_EX_ACCEPTFILES);
    wchar_t title[16] = {};
    GetWindowTextW(hwnd, title, 16);
    EXPECT_STREQ(title, L"Vardo");

    struct Probe {
        int x, y;
        LRESULT zone;
    };
    const Probe probes[] = {{1, 1, HTTOPLEFT},      {2, 150, HTLEFT},      {3, 3, HTCLIENT},
                            {3, 298, HTBOTTOMLEFT}, {2, 297, HTBOTTOMLEFT}, {398, 150, HTRIGHT},
                            {398, 1, HTTOPRIGHT},   {397, 1, HTRIGHT},       {397, 297, HTBOTTOMRIGHT},
                            {200, 2, HTTOP},        {200, 297, HTCLIENT},  {200, 298, HTBOTTOM}};
    // Normal, maximised (no zones, no cut corners), and normal again.
    for (const int show : {SW_SHOWNORMAL, SW_MAXIMIZE, SW_RESTORE}) {
        ShowWindow(hwnd, show);
        const bool maximised = show == SW_MAXIMIZE;
        const SIZE size = WindowSize(hwnd);
        RECT client{};
        GetClientRect(hwnd, &client);
        EXPECT_EQ(client.right, size.cx);  // the client area is the whole window
        EXPECT_EQ(client.bottom, size.cy);
        if (maximised) {
            RECT work{};
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
            EXPECT_EQ(size.cx, work.right - work.left);
            EXPECT_EQ(size.cy, work.bottom - work.top);
        } else {
            EXPECT_EQ(size.cx, 400);
            EXPECT_EQ(size.cy, 300);
        }
        for (const Probe& probe : probes) {
            EXPECT_EQ(HitTest(hwnd, probe.x, probe.y), maximised ? HTCLIENT : probe.zone)
                << "(" << probe.x << ", " << probe.y << ") shown " << show;
        }
        const std::vector<POINT> outside = PixelsOutsideRegion(hwnd);
        if (maximised) {
            EXPECT_TRUE(outside.empty());
        } else {
            ASSERT_EQ(outside.size(), 4u);
            EXPECT_EQ(outside[0].x, 0);
            EXPECT_EQ(outside[0].y, 0);
            EXPECT_EQ(outside[1].x, 399);
            EXPECT_EQ(outside[1].y, 0);
            EXPECT_EQ(outside[2].x, 0);
            EXPECT_EQ(outside[2].y, 299);
            EXPECT_EQ(outside[3].x, 399);
            EXPECT_EQ(outside[3].y, 299);
        }
        EXPECT_EQ(window.dlg().frame->m_bVisible, !maximised);
    }

    SetWindowPos(hwnd, nullptr, 0, 0, 5, 3, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(WindowSize(hwnd).cx, 10);
    EXPECT_EQ(WindowSize(hwnd).cy, 10);
}

TEST(DlgBaseWindow, AFixedSizeWindowHasNoSizingFrameAndNoResizeZones)
{
    ModalWindow window(std::make_unique<TestDlg>(false));
    EXPECT_EQ(GetWindowLongW(window.hwnd, GWL_STYLE) & WS_THICKFRAME, 0);
    for (const POINT point : {POINT{0, 0}, POINT{1, 150}, POINT{399, 299}, POINT{200, 298}, POINT{200, 150}}) {
        EXPECT_EQ(HitTest(window.hwnd, point.x, point.y), HTCLIENT) << point.x << ", " << point.y;
    }
}

void MoveMouseTo(POINT screen)
{
    SetCursorPos(screen.x, screen.y);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof input);
}

void MoveMouse(HWND hwnd, int x, int y)
{
    POINT point{x, y};
    ClientToScreen(hwnd, &point);
    MoveMouseTo(point);
}

void Button(DWORD flag)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flag;
    SendInput(1, &input, sizeof input);
}

TEST(DlgBaseWindow, MouseReachesTheControlUnderItAndFreeAreaDragsTheWindow)
{
    ModalWindow window(std::make_unique<TestDlg>(true));
    const HWND hwnd = window.hwnd;
    // With a display, the pointer's old position may still arrive once the
    // window shows: let that land on free area before the moves that count.
    MoveMouse(hwnd, 350, 250);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EventLog& log = window.dlg().log;
    const size_t before = log.Events().size();
    auto logReaches = [&](size_t count) { return WaitFor([&] { return log.Events().size() >= before + count; }); };
    auto events = [&] {
        const std::vector<std::string> all = log.Events();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    };

    MoveMouse(hwnd, 60, 80);  // over A1 inside A
    ASSERT_TRUE(logReaches(2));
    Button(MOUSEEVENTF_LEFTDOWN);
    Button(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(logReaches(4));
    MoveMouse(hwnd, 250, 80);  // over B
    ASSERT_TRUE(logReaches(7));
    Button(MOUSEEVENTF_LEFTDOWN);
    Button(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(logReaches(9));
    MoveMouse(hwnd, 350, 250);  // free area
    ASSERT_TRUE(logReaches(10));
    EXPECT_EQ(events(), (std::vector<std::string>{"A enter", "A1 enter", "A1 down", "A1 up", "A leave", "A1 leave",
                                                  "B enter", "B down", "B up", "B leave"}));

    // A press there moves the window with the mouse.
    Button(MOUSEEVENTF_LEFTDOWN);
    const bool moving = WaitFor([&] { return window.spy.Count(WM_ENTERSIZEMOVE) > 0; });
    for (int step = 1; step <= 3; ++step) {
        MoveMouseTo({kLeft + 350 + 10 * step, kTop + 250 + 7 * step});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Button(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(WaitFor([&] { return window.spy.Count(WM_EXITSIZEMOVE) > 0; }));
    RECT rect{};
    GetWindowRect(hwnd, &rect);
    EXPECT_EQ(rect.left, kLeft + 30);
    EXPECT_EQ(rect.top, kTop + 21);
    EXPECT_EQ(events().size(), 10u);  // no control saw any of it

    // Escape and Enter never reach the window, so neither closes it.
    for (const WPARAM key : {VK_ESCAPE, VK_RETURN}) {
        PostMessageW(hwnd, WM_KEYDOWN, key, 0);
    }
    ASSERT_TRUE(window.Flush());
    EXPECT_EQ(window.spy.Count(WM_KEYDOWN), 0);
    EXPECT_TRUE(IsWindow(hwnd));
}

TEST(DlgBaseWindow, ControlListsDrawInOrderTickAndAreFoundById)
{
    ModalWindow window(std::make_unique<TestDlg>(true));
    TestDlg& dlg = window.dlg();
    // Static controls first, then system controls, controls, system buttons on top.
    for (int hidden = 0; hidden < 4; ++hidden) {
        EXPECT_EQ(window.Print()->Colour(160, 160), RGB(4 - hidden, 0, 0));
        window.Run([&] { dlg.ShowControl(dlg.stacked[3 - hidden], false); });
    }
    EXPECT_EQ(window.Print()->Colour(160, 160), CDlgBase::kDefaultBackground);
    EXPECT_EQ(window.Print()->Colour(0, 0), CDlgBase::kDefaultBackground);

    // Only the system buttons and the controls get the base timer's ticks.
    EXPECT_TRUE(WaitFor([&] { return dlg.stacked[2]->ticks > 0 && dlg.stacked[3]->ticks > 0; }));
    EXPECT_EQ(dlg.stacked[0]->ticks, 0);
    EXPECT_EQ(dlg.stacked[1]->ticks, 0);

    // Id 7 is both a control and a static control: the control is found first.
    CControl* moved = nullptr;
    CControl* missing = dlg.stacked[0];  // anything but null
    window.Run([&] {
        moved = dlg.MoveControlById(7, {0, 0, 5, 5});
        missing = dlg.ShowControlById(1234, true);
    });
    EXPECT_EQ(moved, dlg.stacked[2]);
    EXPECT_EQ(dlg.stacked[0]->GetRect().left, 150);
    EXPECT_EQ(missing, nullptr);

    // The system buttons sit at the top right; clicking minimise minimises,
    // other controls' notifications reach the derived window.
    CControl* close = nullptr;
    window.Run([&] { close = dlg.MoveControlById(CDlgBase::kCloseId, {}); });
    EXPECT_EQ(close, nullptr);  // system buttons are not found among the controls
    window.Run([&] {
        dlg.OnNotify(42, 5, 0, 0);
        dlg.OnNotify(CDlgBase::kMinimizeId, 1, 0, 0);
    });
    EXPECT_FALSE(IsIconic(window.hwnd));
    window.Run([&] { dlg.OnNotify(CDlgBase::kMinimizeId, CDlgBase::kClickedCode, 0, 0); });
    EXPECT_TRUE(IsIconic(window.hwnd));
    std::vector<std::string> notes;
    for (const std::string& event : dlg.log.Events()) {
        if (event.starts_with("notify")) {
            notes.push_back(event);
        }
    }
    EXPECT_EQ(notes, std::vector<std::string>{"notify 42 5"});
}

// A WM_DROPFILES payload as the shell builds it.
HGLOBAL DropOf(const std::vector<std::filesystem::path>& paths)
{
    std::wstring list;
    for (const auto& path : paths) {
        list += path.wstring();
        list += L'\0';
    }
    list += L'\0';
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    std::copy(list.begin(), list.end(), reinterpret_cast<wchar_t*>(drop + 1));
    GlobalUnlock(memory);
    return memory;
}

TEST(DlgBaseWindow, ADroppedPictureBecomesTheSkinAndNothingElseChangesIt)
{
    const wintest::GdiplusSession gdiplus;
    const wintest::TempDir dir;
    const auto folder = dir.path / "folder.png";
    std::filesystem::create_directory(folder);
    // Red, red, green, blue above four reds: the average is (191, 31, 31).
    ASSERT_TRUE(wintest::WritePng(dir.path / "SKIN.PNG", 4, 2,
                                  {0xFFFF0000, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFF0000, 0xFFFF0000,
                                   0xFFFF0000, 0xFFFF0000}));
    std::ofstream(dir.path / "notes.txt") << "some notes";
    std::ofstream(dir.path / "broken.png") << "\x89PNG\r\n\x1a\n and then nothing of a picture";

    ModalWindow window(std::make_unique<TestDlg>(false));
    TestDlg& dlg = window.dlg();
    struct Drop {
        std::vector<std::filesystem::path> paths;
        bool skin;
        COLORREF background;
    };
    const COLORREF average = RGB(191, 31, 31);
    const Drop drops[] = {
        {{dir.path / "notes.txt"}, false, CDlgBase::kDefaultBackground},
        {{dir.path / "broken.png"}, false, CDlgBase::kDefaultBackground},
        {{folder, dir.path / "notes.txt", dir.path / "SKIN.PNG"}, true, average},
        {{dir.path / "broken.png"}, true, average},
    };
    for (const Drop& drop : drops) {
        SendMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(drop.paths)), 0);
        EXPECT_EQ(dlg.HasSkin(), drop.skin) << drop.paths.front();
        EXPECT_EQ(dlg.Background(), drop.background) << drop.paths.front();
    }
    // The skin is painted at the top left on its average colour; the picture is
    // narrower than the minimum size less 2, so its right two columns fade.
    const auto print = window.Print();
    EXPECT_EQ(print->Colour(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(print->Colour(2, 0), RGB(0, 255, 0));
    EXPECT_EQ(print->Colour(10, 10), average);
}

}  // namespace
