#pragma once

#include "device/key_report.h"
#include "lighting/key_grid.h"

// Fills the table from the active cells whose key code is above 0, column by
// column, top row first. rows and cols are the active size, at most the grid's capacity.
void BuildKeyColourTable(const KeyGrid& grid, int rows, int cols, KeyColourTable& table);
