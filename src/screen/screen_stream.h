#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "screen/screen_grid.h"

// A PipeWire video stream of the screen, as the ScreenCast portal grants it:
// consumed in plain shared memory (BGRx, BGRA, RGBx or RGBA at any size, up to
// 30 frames a second), only the newest frame of those waiting is looked at,
// and it goes back to the producer at once, reduced straight to the grid by
// the area average. A screen that does not change sends no frames; the grid
// then keeps its colours.
//
// Driven by its owner's thread, without a thread of its own for our work (the
// PipeWire library keeps its data thread).
class ScreenStream {
public:
    enum class Status {
        Frame,    // a frame was reduced into the grid
        Waiting,  // no new frame
        Broken,   // the stream or the connection ended; Failure() says why
    };

    // Connects through `remote` (a PipeWire connection the portal opened;
    // taken, and closed here) to the node. A failure shows as Broken.
    ScreenStream(int remote, uint32_t node);
    ~ScreenStream();
    ScreenStream(const ScreenStream&) = delete;
    ScreenStream& operator=(const ScreenStream&) = delete;

    // Handles what PipeWire has brought, without waiting, and reduces the
    // newest frame, if one came, into cells c < columns, r < rows of the grid.
    Status Process(ScreenGrid& grid, int columns, int rows);
    const std::string& Failure() const;
    // The negotiated size and format ("1920 x 1080 BGRx"); empty before.
    std::string Format() const;

private:
    struct Consumer;
    std::unique_ptr<Consumer> m_consumer;
};
