#include "audio/capture_source.h"

#include <algorithm>

int AutomaticDelayMs(uint64_t reportedUsec)
{
    // Rounded without adding first: a damaged report near the top of the range must not wrap.
    const uint64_t ms = reportedUsec / 1000 + (reportedUsec % 1000 >= 500 ? 1 : 0);
    return static_cast<int>(std::min<uint64_t>(ms, kMaxCaptureDelayMs));
}
