#pragma once

#include <cstddef>
#include <cstdint>

// The arithmetic of the skin helpers (bitmap_win.h): the constant alpha of
// each blended row, column or corner pixel, and the average colour of a
// picture. Alphas are truncated and taken modulo 256, as the blend's one byte
// of constant alpha holds them.

// Row i of h (h > 0) in a vertical fade from fromPercent to toPercent opacity: from 0
// to 100 the first row is opaque and the picture fades out downwards.
uint8_t RowFadeAlpha(int row, int rows, int fromPercent, int toPercent);

// Column i of w (w > 0) in a horizontal fade: opaque first column, fading rightwards.
uint8_t ColumnFadeAlpha(int column, int columns);

// Pixel (i, j) of an n × n corner fade (n > 0): opaque at (0, 0), transparent from
// distance n on.
uint8_t CornerFadeAlpha(int i, int j, int side);

// The average of 32-bit pixels stored blue, green, red, unused (a DIB's
// order), each channel's sum divided by the count and truncated; 0x00BBGGRR.
// An empty picture is black.
uint32_t AverageBgrxColour(const uint8_t* pixels, size_t count);
