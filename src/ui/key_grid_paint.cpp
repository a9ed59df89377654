#include "ui/key_grid_paint.h"

int KeySquareSide(int clientWidth, int columns)
{
    if (columns <= 0) {
        return 0;
    }
    return (clientWidth - kKeyGridGap * columns - kKeyGridSideMargin) / columns;
}

void PaintKeyGrid(Canvas& canvas, const ControlRect& client, const KeyGrid& grid)
{
    canvas.Fill(client, kKeyGridBackground);
    const int cols = grid.ActiveCols();
    const int rows = grid.ActiveRows();
    const int side = KeySquareSide(client.right - client.left, cols);
    if (side <= 0) {
        return;
    }
    for (int col = 0; col < cols; ++col) {
        for (int row = 0; row < rows; ++row) {
            const int x = client.left + kKeyGridLeft + col * (side + kKeyGridGap);
            const int y = client.top + kKeyGridTop + row * (side + kKeyGridGap);
            canvas.Fill({x, y, x + side, y + side}, grid.Cell(row, col).color & 0x00FFFFFFu);
        }
    }
}
