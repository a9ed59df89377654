#pragma once

#include <cstdint>

struct ControlRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// The two hooks through which custom controls report to the window that owns them.
class CMessageInterface {
public:
    virtual int OnNotify(uint32_t /*controlId*/, uint32_t /*code*/, uint32_t /*param1*/, uint32_t /*param2*/)
    {
        return 0;
    }
    virtual int OnRedrawRegion(const ControlRect& /*rect*/, bool /*erase*/, void* /*control*/) { return 0; }

protected:
    ~CMessageInterface() = default;
};
