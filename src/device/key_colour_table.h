#pragma once

#include <cstdint>

#include "device/key_cell.h"

constexpr int kKeyTableEntries = 200;
constexpr int kKeyTableBytes = kKeyTableEntries * 4;

// The per-key colour table of one frame: 200 entries of key index, red, green,
// blue, the 0xAA 0x55 trailer at offset 4 x H, and the frame length L = 4 x H + 2.
//
// A keyboard table holds 200 entries with indices 0 to 199, so a layout that
// goes beyond it is clipped: keyed cells whose index lies outside 0 to 199 are
// left out of the frame (later cells move up into their slot), and keyed cells
// after the 200th entry are dropped. The trailer therefore always lies inside
// the table and a packet never reads past it.
struct KeyColourTable {
    uint8_t bytes[kKeyTableBytes];
    int32_t highestIndex = 0;  // H
    int32_t length = 2;        // L
    int32_t entries = 0;
};

// Fills the table from the active cells whose key code is above 0, column by
// column, top row first. rows and cols are the active size, at most the grid's capacity.
void BuildKeyColourTable(const KeyCell (&cells)[kMaxKeyRows][kMaxKeyCols], int rows, int cols,
                         KeyColourTable& table);
