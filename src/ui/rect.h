#pragma once

#include <algorithm>
#include <cstdint>

#include "base/message_interface.h"

// Rectangles are left, top, right, bottom; right and bottom lie outside.
inline bool IsEmptyRect(const ControlRect& rect)
{
    return rect.right <= rect.left || rect.bottom <= rect.top;
}

inline bool RectContains(const ControlRect& rect, int32_t x, int32_t y)
{
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

inline bool RectsMeet(const ControlRect& a, const ControlRect& b)
{
    return !IsEmptyRect(a) && !IsEmptyRect(b) && a.left < b.right && b.left < a.right && a.top < b.bottom &&
           b.top < a.bottom;
}

// The smallest rectangle holding both; an empty one adds nothing.
inline ControlRect RectUnion(const ControlRect& a, const ControlRect& b)
{
    if (IsEmptyRect(a)) {
        return b;
    }
    if (IsEmptyRect(b)) {
        return a;
    }
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}
