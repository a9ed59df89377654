#pragma once

#include <memory>

#include "screen/screen_grid.h"

// The platform's part of screen sampling: it copies the desktop into a
// picture of kPictureWidth x kPictureHeight, whatever the screen's size, and
// reduces that to one colour per cell of the grid.
class ScreenSampler {
public:
    static constexpr int kPictureWidth = 480;
    static constexpr int kPictureHeight = 270;

    enum class Result {
        Sampled,   // cells c < columns, r < rows hold this pass's colours
        Failed,    // this pass failed; the grid is untouched and the next pass tries again
        NoScreen,  // there is no screen to sample (no display, or it went away); the grid is untouched
    };

    virtual ~ScreenSampler() = default;

    // One pass, on the sampler thread: writes only cells c < columns, r < rows,
    // both within the grid. Never blocks longer than the copy itself; a missing
    // screen is looked for again at most about once a second.
    virtual Result Sample(ScreenGrid& grid, int columns, int rows) = 0;

    // Nobody looks at the colours for a while (the daemon rests): a sampler
    // that holds a live stream lets it go, and the next pass takes it up
    // again. What the user decided (a declined screen share) is kept.
    virtual void Rest() {}
};

// The platform's sampler. Nothing is opened until the first pass; the sampler
// is used and destroyed on the thread that makes the passes.
std::unique_ptr<ScreenSampler> OpenScreenSampler();
