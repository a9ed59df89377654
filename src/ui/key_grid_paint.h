#pragma once

#include <cstdint>

#include "lighting/key_grid.h"
#include "ui/canvas.h"

// The main window's picture of the key grid: one square per key cell in the
// cell's current colour, on dark grey.
constexpr uint32_t kKeyGridBackground = 0x333333;
constexpr int kKeyGridLeft = 30;
constexpr int kKeyGridTop = 100;
constexpr int kKeyGridGap = 6;
constexpr int kKeyGridSideMargin = 60;

// The side of one key square in a client area clientWidth wide; 0 or less when
// the area is too narrow for any.
int KeySquareSide(int clientWidth, int columns);

// Paints the whole client area. The grid may be rewritten meanwhile by the
// layout route; only its active size, kept within capacity, is read.
void PaintKeyGrid(Canvas& canvas, const ControlRect& client, const KeyGrid& grid);
