#pragma once

#include <memory>

#include "hwmon/sensor_source.h"

// Windows: the utilisation counters of PDH. The CPU load from
// "% Processor Utility"; the GPU loads from the "GPU Engine" counters, summed
// per engine over all processes, each adapter's busiest engine matched by LUID
// to the adapters DXGI enumerates. Each query is created by the first read
// that finds it missing and dropped when a collection fails.
std::unique_ptr<CounterSource> OpenPdhCounters();
