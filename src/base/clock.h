#pragma once

#include <cstdint>

// Milliseconds of monotonic up-time: request times and reply stamps.
uint64_t TickCount64();

// Whole seconds since 1970-01-01 UTC.
int64_t CalendarSeconds();

// Milliseconds of wall-clock time, the clock the periodic worker measures with.
uint64_t WallClockMs();

void SleepMs(uint32_t ms);
