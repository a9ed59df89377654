#pragma once

#include <cstdint>

#include "base/message_interface.h"

// The platform's device context handle (an HDC on Windows), opaque here.
struct HDC__;
using DeviceContext = HDC__*;

// What window painting draws on: an off-screen picture of the client area.
// Colours are 0x00BBGGRR.
class Canvas {
public:
    virtual void Fill(const ControlRect& rect, uint32_t colour) = 0;
    // The device context behind the canvas, for drawing it does not offer.
    virtual DeviceContext Dc() = 0;

protected:
    ~Canvas() = default;
};
