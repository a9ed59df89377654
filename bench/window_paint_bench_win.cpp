// The main window's painting under Windows GDI: one paint of a full 10 × 100
// key grid through the off-screen bitmap, and the cost of the renderer's
// per-frame repaint request while the window is hidden, as it always is.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

#include "lighting/key_grid.h"
#include "ui/canvas_win.h"
#include "ui/dlg_base.h"
#include "ui/key_grid_paint.h"

namespace {

void BM_PaintFullKeyGridOffScreen(benchmark::State& state)
{
    auto grid = std::make_unique<KeyGrid>();
    grid->m_nKeyRows = kMaxKeyRows;
    grid->m_nKeyCols = kMaxKeyCols;
    for (int row = 0; row < kMaxKeyRows; ++row) {
        for (int col = 0; col < kMaxKeyCols; ++col) {
            grid->Cell(row, col).color = static_cast<uint32_t>(row * 0x1020 + col * 0x020301);
        }
    }
    // Wide and high enough for squares of 34 pixels.
    const RECT client{0, 0, kKeyGridSideMargin + kMaxKeyCols * (34 + kKeyGridGap), 520};
    HDC screen = GetDC(nullptr);
    HDC window = CreateCompatibleDC(screen);
    HBITMAP surface = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ previous = SelectObject(window, surface);
    const ControlRect area{client.left, client.top, client.right, client.bottom};
    for (auto _ : state) {
        PaintOffScreen(window, client, client, [&](Canvas& canvas) { PaintKeyGrid(canvas, area, *grid); });
    }
    SelectObject(window, previous);
    DeleteObject(surface);
    DeleteDC(window);
    ReleaseDC(nullptr, screen);
}
BENCHMARK(BM_PaintFullKeyGridOffScreen)->Unit(benchmark::kMicrosecond);

class HiddenDlg final : public CDlgBase {
public:
    ~HiddenDlg() { StopAllTimers(); }
    void CreateControls(const ControlRect&) override {}
    void LayoutControls(const ControlRect&) override {}
    int OnControlNotify(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
};

// From another thread, as the lighting thread asks after every frame.
void BM_RepaintRequestWhileHidden(benchmark::State& state)
{
    HiddenDlg dlg;
    std::thread ui([&] { dlg.DoModal(); });
    while (dlg.WindowHandle() == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto _ : state) {
        dlg.InvalidateWindow();
    }
    PostMessageW(static_cast<HWND>(dlg.WindowHandle()), WM_CLOSE, 0, 0);
    ui.join();
}
BENCHMARK(BM_RepaintRequestWhileHidden);

}  // namespace
