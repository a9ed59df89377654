#pragma once

#include "hwmon/hardware_snapshot.h"

// Owns the sensor source and the utilisation counters.
//
// No sensor source is built for this platform yet: Open fails, so the polling
// loop keeps retrying once a second and the snapshot stays invalid (the
// hardware route answers its "empty" status).
class HardwareMonitor {
public:
    bool Open() { return false; }
    void Close() {}
};
