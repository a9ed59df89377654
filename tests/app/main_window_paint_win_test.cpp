// The main window's picture of the key grid, printed from the real window of
// a running main window object (its lighting paused, so the cells keep the
// colours the test gives them).
#include <gtest/gtest.h>

#include "app/kolvex_dlg.h"
#include "ui/window_test_win.h"

namespace {

constexpr COLORREF kGrey = RGB(0x33, 0x33, 0x33);

COLORREF CellColour(int row, int col)
{
    return RGB(10 * col, 100 + row, 200);
}

TEST(MainWindowPaint, KeySquaresInTheirCellsColoursOnGrey)
{
    auto dlg = std::make_unique<CKolvexDlg>(CaptureFactory{});  // no sound service needed
    dlg->Api().effectRunning = 0;
    dlg->Api().keyGrid.m_nKeyRows = 2;
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 23; ++col) {
            dlg->Api().keyGrid.Cell(row, col).color = CellColour(row, col);
        }
    }
    wintest::ModalWindow window(std::move(dlg));
    ASSERT_NE(window.hwnd, nullptr);
    EXPECT_FALSE(IsWindowVisible(window.hwnd));

    struct Case {
        int width;
        int cols;
        int side;  // of a key square; 0: none painted
    };
    for (const Case& c : {Case{1000, 23, 34}, Case{1000, 0, 0}, Case{198, 23, 0}, Case{120, 23, 0}}) {
        window.dlg().Api().keyGrid.m_nKeyCols = c.cols;
        SetWindowPos(window.hwnd, nullptr, 0, 0, c.width, 200, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        const auto print = window.Print();
        int squarePixels = 0;
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const int col = (x - 30) / (c.side + 6);
                const int row = (y - 100) / (c.side + 6);
                const bool inSquare = c.side > 0 && x >= 30 && y >= 100 && col < c.cols && row < 2 &&
                                      (x - 30) % (c.side + 6) < c.side && (y - 100) % (c.side + 6) < c.side;
                const COLORREF expected = inSquare ? CellColour(row, col) : kGrey;
                squarePixels += inSquare;
                ASSERT_EQ(print->Colour(x, y), expected) << "(" << x << ", " << y << ") width " << c.width;
            }
        }
        EXPECT_EQ(squarePixels, c.side * c.side * c.cols * 2);
    }
}

}  // namespace
