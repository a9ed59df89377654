#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hwmon/hardware_snapshot.h"
#include "hwmon/sensor_reading.h"

// A source of sensor readings with the shape of the outside sensor library's
// entry points: sensors by index, each with a name and up to 512 readings per
// kind. On Windows it is that library; on Linux a source built from the
// kernel's own files. The selection passes (sensor_passes.h) run over it.
//
// Called only on the polling thread, under the monitor's lock. Destroying a
// source shuts it down.
class SensorSource {
public:
    static constexpr int32_t kNameBytes = 256;
    static constexpr int32_t kReadingsPerSensor = 512;

    virtual ~SensorSource() = default;

    // Takes fresh values for the readings that follow.
    virtual void Refresh() = 0;
    virtual int32_t SensorCount() = 0;
    virtual void UpdateSensor(int32_t sensor) = 0;
    // Fills at most size bytes; a well-behaved source ends the name with a NUL.
    virtual void SensorName(int32_t sensor, char* buffer, int32_t size) = 0;
    // Fills the zeroed record; true when it delivered one.
    virtual bool ReadReading(int32_t kind, int32_t sensor, int32_t reading, SensorReadingRecord& record) = 0;
};

// The system's utilisation counters: CPU load and the load of up to two GPUs.
// A counter needs two samples, so the first read after start (or after a
// failure) delivers nothing. Same thread and lock as SensorSource.
class CounterSource {
public:
    virtual ~CounterSource() = default;

    // Fills the CPU fields of the record; true when a value was delivered.
    virtual bool ReadCpu(HardwareSnapshot& out) = 0;
    // Fills the GPU fields; true when a load was delivered for an adapter.
    virtual bool ReadGpu(HardwareSnapshot& out) = 0;
};

// What opening the platform's hardware sources gave: no sensor source when
// none is available (the monitor then stays closed and tries again later).
struct HardwareSources {
    std::unique_ptr<SensorSource> sensors;
    std::unique_ptr<CounterSource> counters;
    std::string description;  ///< for the log: what was found, or why nothing was
};
