#pragma once

#include <span>
#include <vector>

#include "base/message_interface.h"

// The geometry decisions of the frameless window, apart from the calls that
// apply them (dlg_base_win.cpp).

// Where a point of the window lies for sizing: the client area or one of the
// eight resize zones.
enum class HitZone { Client, Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

// The zone of point (x, y), in window coordinates, of a width × height window
// whose resize zones are borderX wide and borderY high. The zones are not
// symmetric: the left edge of the bottom-left corner counts x = borderX, and
// the bottom zone is one pixel lower than borderY.
HitZone BorderHitZone(int x, int y, int width, int height, int borderX, int borderY);

// The rectangles cut from a width × height window region to round its
// corners: row y of each corner loses cornerTable[y] pixels.
std::vector<ControlRect> CornerCuts(int width, int height, std::span<const int> cornerTable);

// The widths of the right and the bottom fade strips of a skin picture.
struct SkinFade {
    int width = 0;
    int height = 0;
};

// Only a picture narrower or lower than the window's minimum size less 2
// fades, along the side that is too small, by its size less 2 (at most 100).
SkinFade SkinFadeSize(int imageWidth, int imageHeight, int minWidth, int minHeight);
