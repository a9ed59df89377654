#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "hwmon/hardware_snapshot.h"
#include "hwmon/sensor_source.h"

// Opens whatever hardware sources the platform offers (platform_sources.h).
using HardwareSourceOpener = std::function<HardwareSources()>;

// Owns the sensor source and the utilisation counters. Every operation holds
// the monitor's own lock for its whole run: the polling thread opens and
// reads, the window thread closes after that thread has been joined.
class HardwareMonitor {
public:
    HardwareMonitor();  // the platform's sources
    explicit HardwareMonitor(HardwareSourceOpener open);
    ~HardwareMonitor();
    HardwareMonitor(const HardwareMonitor&) = delete;
    HardwareMonitor& operator=(const HardwareMonitor&) = delete;

    // Opens the sources once; true while open. Logs what it found when it
    // opens, and that nothing is available the first time it fails.
    bool Open();
    // Shuts the sources down; the monitor is closed afterwards.
    void Close();

    // Each fills the zeroed record; false when the monitor is not open.
    // ReadSensors: temperatures, loads and network rates from the sensor source.
    bool ReadSensors(HardwareSnapshot& out);
    // ReadCounters: the CPU and then the GPU counter, both always read; true
    // when either delivered.
    bool ReadCounters(HardwareSnapshot& out);

private:
    std::mutex m_mutex;
    HardwareSourceOpener m_open;
    std::unique_ptr<SensorSource> m_sensors;
    std::unique_ptr<CounterSource> m_counters;
    bool m_bOpen = false;
    bool m_bMissingLogged = false;
};
