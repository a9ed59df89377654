#pragma once

#include <cstdint>

// The platform's periodic timer service (multimedia timers on Windows).
namespace timer_platform {

using Callback = void (*)(uint32_t timerId, void* user);

// Smallest and largest supported timer resolution; false when unknown.
bool GetResolutionRange(uint32_t& minMs, uint32_t& maxMs);
void BeginResolution(uint32_t ms);
void EndResolution(uint32_t ms);

// Starts a periodic timer; returns its id, 0 on failure.
uint32_t StartPeriodic(uint32_t periodMs, uint32_t resolutionMs, Callback callback, void* user);

// Stops a timer; returns once no callback of it runs any more.
void Kill(uint32_t timerId);

}  // namespace timer_platform
