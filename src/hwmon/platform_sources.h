#pragma once

#include "hwmon/sensor_source.h"

// The hardware sources of this platform: on Windows the outside sensor
// library and the PDH/DXGI counters (platform_sources_win.cpp); on Linux the
// kernel's own files (platform_sources_linux.cpp).
HardwareSources OpenPlatformHardwareSources();
