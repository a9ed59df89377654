// The dialog base as a real window under Wine: a resizable test window with
// test controls, driven by window messages and by injected mouse input.
#include "ui/dlg_base.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <fstream>

#include "ui/rect.h"
#include "ui/window_test_win.h"

namespace {

using wintest::ModalWindow;
using wintest::WaitFor;

constexpr int kLeft = 100;
constexpr int kTop = 100;
constexpr uint32_t kNoFill = 0xFFFFFFFF;

struct EventLog {
    void Add(std::string event)
    {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> From(size_t first)
    {
        std::lock_guard lock(mutex);
        return {events.begin() + static_cast<std::ptrdiff_t>(std::min(first, events.size())), events.end()};
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

// Fills its rectangle with its colour, logs entering, leaving, presses and
// releases under its name, and counts timer ticks.
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
        if (RectContains(m_rect, x, y) != m_bInside) {
            m_bInside = !m_bInside;
            m_log.Add(m_name + (m_bInside ? " enter" : " leave"));
        }
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

// Controls A (with child A1) and B side by side, one control of each list
// stacked over the same square, the system buttons and the frame control.
class TestDlg final : public CDlgBase {
public:
    static constexpr ControlRect kStack{150, 150, 190, 190};

    explicit TestDlg(bool resizable) { m_bResizable = resizable; }
    ~TestDlg() { StopAllTimers(); }

    bool OnInitDialog() override
    {
        CDlgBase::OnInitDialog();
        SetWindowPos(static_cast<HWND>(WindowHandle()), nullptr, kLeft, kTop, 400, 300, SWP_NOZORDER | SWP_SHOWWINDOW);
        return true;
    }
    void CreateControls(const ControlRect&) override
    {
        Make(m_controls, "A", 1, {20, 40, 120, 140})
            ->AddChild(std::make_unique<TestControl>("A1", 11, ControlRect{40, 60, 80, 100}, this, log, kNoFill));
        Make(m_controls, "B", 2, {200, 40, 300, 140});
        stacked[0] = Make(m_staticControls, "S", 7, kStack, RGB(1, 0, 0));
        stacked[1] = Make(m_sysControls, "Y", 8, kStack, RGB(2, 0, 0));
        stacked[2] = Make(m_controls, "C", 7, kStack, RGB(3, 0, 0));
        stacked[3] = Make(m_sysButtons, "Z", 9, kStack, RGB(4, 0, 0));
        Make(m_sysButtons, "close", kCloseId, {});
        frame = Make(m_sysControls, "frame", kFrameId, {});
    }
    void LayoutControls(const ControlRect&) override {}
    int OnControlNotify(uint32_t id, uint32_t code, uint32_t, uint32_t) override
    {
        notes.push_back(std::to_string(id) + " " + std::to_string(code));
        return 0;
    }
    uint32_t Background() const { return m_nBackgroundColour; }
    bool HasSkin() const { return m_bHasSkin; }

    EventLog log;
    TestControl* stacked[4] = {};
    TestControl* frame = nullptr;
    std::vector<std::string> notes;

private:
    TestControl* Make(ControlList& list, const char* name, uint32_t id, ControlRect rect, uint32_t colour = kNoFill)
    {
        list.push_back(std::make_unique<TestControl>(name, id, rect, this, log, colour));
        return static_cast<TestControl*>(list.back().get());
    }
};

RECT WindowRect(HWND hwnd)
{
    RECT rect{};
    GetWindowRect(hwnd, &rect);
    return rect;
}

LRESULT HitTest(HWND hwnd, int x, int y)
{
    const RECT window = WindowRect(hwnd);
    return SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(window.left + x, window.top + y));
}

// The pixels of the window's rectangle that its region leaves out.
std::vector<std::pair<int, int>> PixelsOutsideRegion(HWND hwnd)
{
    const RECT window = WindowRect(hwnd);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    std::vector<std::pair<int, int>> outside;
    GetWindowRgn(hwnd, region);
    for (int y = 0; y < window.bottom - window.top; ++y) {
        for (int x = 0; x < window.right - window.left; ++x) {
            if (!PtInRegion(region, x, y)) {
                outside.emplace_back(x, y);
            }
        }
    }
    DeleteObject(region);
    return outside;
}

TEST(DlgBaseWindow, ResizeZonesCornerRegionAndMinimumSize)
{
    ModalWindow window(std::make_unique<TestDlg>(true));
    const HWND hwnd = window.hwnd;
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MAXIMIZEBOX),
              WS_THICKFRAME | WS_SYSMENU | WS_MAXIMIZEBOX);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_EXSTYLE) & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_ACCEPTFILES),
              WS_EX_TOOLWINDOW | WS_EX_ACCEPTFILES);
    wchar_t title[16] = {};
    GetWindowTextW(hwnd, title, 16);
    EXPECT_STREQ(title, L"Vardo");

    struct Probe {
        int x, y;
        LRESULT zone;
    };
    // The zones are not symmetric: x = 3 counts as left only at the bottom,
    // x = 397 as right but not as top right, and the bottom zone is 2 high.
    const Probe probes[] = {{1, 1, HTTOPLEFT},     {2, 150, HTLEFT},       {3, 3, HTCLIENT},   {3, 298, HTBOTTOMLEFT},
                            {398, 150, HTRIGHT},   {398, 1, HTTOPRIGHT},   {397, 1, HTRIGHT},  {397, 297, HTBOTTOMRIGHT},
                            {200, 2, HTTOP},       {200, 297, HTCLIENT},   {200, 298, HTBOTTOM}};
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    for (const int show : {SW_SHOWNORMAL, SW_MAXIMIZE, SW_RESTORE}) {
        ShowWindow(hwnd, show);
        const bool maximised = show == SW_MAXIMIZE;
        const RECT rect = WindowRect(hwnd);
        RECT client{};
        GetClientRect(hwnd, &client);
        EXPECT_EQ(client.right, rect.right - rect.left);  // the client area is the whole window
        EXPECT_EQ(client.bottom, rect.bottom - rect.top);
        EXPECT_EQ(client.right, maximised ? work.right - work.left : 400);
        EXPECT_EQ(client.bottom, maximised ? work.bottom - work.top : 300);
        for (const Probe& probe : probes) {
            EXPECT_EQ(HitTest(hwnd, probe.x, probe.y), maximised ? HTCLIENT : probe.zone)
                << "(" << probe.x << ", " << probe.y << ") shown " << show;
        }
        using Pixels = std::vector<std::pair<int, int>>;
        const Pixels corners{{0, 0}, {399, 0}, {0, 299}, {399, 299}};
        EXPECT_EQ(PixelsOutsideRegion(hwnd), maximised ? Pixels() : corners);
        EXPECT_EQ(window.dlg().frame->m_bVisible, !maximised);
    }

    SetWindowPos(hwnd, nullptr, 0, 0, 5, 3, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const RECT small = WindowRect(hwnd);
    EXPECT_EQ(small.right - small.left, 10);
    EXPECT_EQ(small.bottom - small.top, 10);
}

TEST(DlgBaseWindow, AFixedSizeWindowHasNoSizingFrameAndNoResizeZones)
{
    ModalWindow window(std::make_unique<TestDlg>(false));
    EXPECT_EQ(GetWindowLongW(window.hwnd, GWL_STYLE) & WS_THICKFRAME, 0);
    for (const POINT point : {POINT{0, 0}, POINT{1, 150}, POINT{399, 299}, POINT{200, 298}}) {
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

void Click(DWORD flags)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
}

TEST(DlgBaseWindow, MouseReachesTheControlUnderItAndFreeAreaDragsTheWindow)
{
    ModalWindow window(std::make_unique<TestDlg>(true));
    EventLog& log = window.dlg().log;
    // With a display, the pointer's old position may still arrive once the
    // window shows: let that land on free area before the moves that count.
    MoveMouseTo({kLeft + 350, kTop + 250});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t first = log.From(0).size();
    struct Step {
        POINT to;        // client point, or a press and release where the mouse is
        size_t logSize;  // once handled
    };
    for (const Step& step : {Step{{60, 80}, 2}, Step{{}, 4}, Step{{250, 80}, 7}, Step{{}, 9}, Step{{350, 250}, 10}}) {
        if (step.to.x != 0) {
            MoveMouseTo({kLeft + step.to.x, kTop + step.to.y});
        } else {
            Click(MOUSEEVENTF_LEFTDOWN);
            Click(MOUSEEVENTF_LEFTUP);
        }
        ASSERT_TRUE(WaitFor([&] { return log.From(first).size() >= step.logSize; })) << step.logSize;
    }
    EXPECT_EQ(log.From(first), (std::vector<std::string>{"A enter", "A1 enter", "A1 down", "A1 up", "A leave",
                                                         "A1 leave", "B enter", "B down", "B up", "B leave"}));

    // A press on free area moves the window with the mouse.
    Click(MOUSEEVENTF_LEFTDOWN);
    const bool moving = WaitFor([&] { return window.Count(WM_ENTERSIZEMOVE) > 0; });
    for (int step = 1; step <= 3; ++step) {
        MoveMouseTo({kLeft + 350 + 10 * step, kTop + 250 + 7 * step});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Click(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(WaitFor([&] { return window.Count(WM_EXITSIZEMOVE) > 0; }));
    EXPECT_EQ(WindowRect(window.hwnd).left, kLeft + 30);
    EXPECT_EQ(WindowRect(window.hwnd).top, kTop + 21);
    EXPECT_EQ(log.From(first).size(), 10u);  // no control saw any of it

    // Escape and Enter never reach the window, so neither closes it.
    PostMessageW(window.hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(window.hwnd, WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(window.Flush());
    EXPECT_EQ(window.Count(WM_KEYDOWN), 0);
    EXPECT_TRUE(IsWindow(window.hwnd));
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

    // Only the system buttons and the controls get the base timer's ticks.
    EXPECT_TRUE(WaitFor([&] { return dlg.stacked[2]->ticks > 0 && dlg.stacked[3]->ticks > 0; }));
    EXPECT_EQ(dlg.stacked[0]->ticks + dlg.stacked[1]->ticks, 0);
    // A hidden window is not animated: the base timer stops, and comes back when shown.
    window.Run([&] { ShowWindow(window.hwnd, SW_HIDE); });
    const int hiddenTicks = dlg.stacked[3]->ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(dlg.stacked[3]->ticks, hiddenTicks);
    window.Run([&] { ShowWindow(window.hwnd, SW_SHOWNA); });
    EXPECT_TRUE(WaitFor([&] { return dlg.stacked[3]->ticks > hiddenTicks; }));

    // Id 7 is a control and a static control: the control is found first;
    // system buttons are not found among the controls.
    std::vector<CControl*> found;
    window.Run([&] {
        found = {dlg.MoveControlById(7, {0, 0, 5, 5}), dlg.ShowControlById(1234, true),
                 dlg.SetControlStateById(CDlgBase::kCloseId, 1)};
        dlg.OnNotify(42, 5, 0, 0);
        dlg.OnNotify(CDlgBase::kCloseId, 1, 0, 0);  // not a click: ignored
    });
    EXPECT_EQ(found, (std::vector<CControl*>{dlg.stacked[2], nullptr, nullptr}));
    EXPECT_EQ(dlg.stacked[0]->GetRect().left, 150);
    EXPECT_EQ(dlg.notes, std::vector<std::string>{"42 5"});
    EXPECT_TRUE(IsWindow(window.hwnd));

    window.Run([&] { dlg.OnNotify(CDlgBase::kMinimizeId, CDlgBase::kClickedCode, 0, 0); });
    EXPECT_TRUE(IsIconic(window.hwnd));
}

// A WM_DROPFILES payload as the shell builds it.
HGLOBAL DropOf(const std::vector<std::filesystem::path>& paths)
{
    std::wstring list;
    for (const auto& path : paths) {
        list += path.wstring() + L'\0';
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
    std::filesystem::create_directory(dir.path / "folder.png");
    // Red, red, green, blue above four reds: the average is (191, 31, 31).
    const uint32_t red = 0xFFFF0000;
    ASSERT_TRUE(wintest::WritePng(dir.path / "SKIN.PNG", 4, 2, {red, red, 0xFF00FF00, 0xFF0000FF, red, red, red, red}));
    std::ofstream(dir.path / "notes.txt") << "some notes";
    std::ofstream(dir.path / "broken.png") << "\x89PNG\r\n\x1a\n and then nothing of a picture";

    ModalWindow window(std::make_unique<TestDlg>(false));
    const COLORREF average = RGB(191, 31, 31);
    const struct {
        std::vector<std::filesystem::path> names;
        bool skin;
        COLORREF background;
    } drops[] = {
        {{"notes.txt"}, false, CDlgBase::kDefaultBackground},
        {{"broken.png"}, false, CDlgBase::kDefaultBackground},
        {{"folder.png", "notes.txt", "SKIN.PNG"}, true, average},
        {{"broken.png"}, true, average},
    };
    for (const auto& drop : drops) {
        std::vector<std::filesystem::path> paths;
        for (const auto& name : drop.names) {
            paths.push_back(dir.path / name);
        }
        SendMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(paths)), 0);
        EXPECT_EQ(window.dlg().HasSkin(), drop.skin) << drop.names.front();
        EXPECT_EQ(window.dlg().Background(), drop.background) << drop.names.front();
    }
    // The skin is painted at the top left on its average colour; the picture is
    // narrower than the minimum size less 2, so its right two columns fade.
    const auto print = window.Print();
    EXPECT_EQ(print->Colour(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(print->Colour(2, 0), RGB(0, 255, 0));
    EXPECT_EQ(print->Colour(10, 10), average);
}

}  // namespace
