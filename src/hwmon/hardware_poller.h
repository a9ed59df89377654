#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "hwmon/hardware_monitor.h"
#include "hwmon/hardware_snapshot.h"

// The snapshot the hardware route serves, lent by its owner to the polling
// loop. The mutex guards both the record and the flag; the loop holds it only
// to merge, never while measuring.
struct SnapshotTarget {
    std::mutex& mutex;
    HardwareSnapshot& snapshot;
    bool& valid;  ///< a snapshot has been taken; stays true from then on
};

// One pass of the hardware polling loop at a time, on the polling thread.
//
// The sensors are read at most every 5 s (a full read asks for up to 512
// readings per sensor and kind), the counters at most once a second (a pass
// that reads the sensors reads them too). A sensor read that succeeds
// replaces the whole snapshot; the counters' CPU and GPU loads then override
// the sensors' own figures while they are at most 5 s old, and a field they
// wrote keeps its value until the next successful sensor read.
class HardwarePoller {
public:
    static constexpr uint64_t kSensorPeriodMs = 5000;
    static constexpr uint64_t kCounterPeriodMs = 1000;
    static constexpr uint64_t kCounterMaxAgeMs = 5000;

    // now: milliseconds of up-time; never 0 once running (0 means "never").
    HardwarePoller(HardwareMonitor& monitor, SnapshotTarget target, std::function<uint64_t()> now);

    // Measures what is due and merges it into the snapshot. The caller opens
    // the monitor first, and waits until NextDueTick between passes.
    void Pass();
    // When the next pass has something to read (the counters or the
    // sensors, whichever is due first); 0 before the first pass.
    uint64_t NextDueTick() const;

private:
    struct Held {
        float value = 0;
        uint64_t tick = 0;  ///< when it was taken; 0 = never

        bool FreshAt(uint64_t now) const { return tick != 0 && now - tick <= kCounterMaxAgeMs; }
    };

    void HoldCounters(const HardwareSnapshot& counters, uint64_t tick);
    void Merge(const HardwareSnapshot* sensors);

    HardwareMonitor& m_monitor;
    SnapshotTarget m_target;
    std::function<uint64_t()> m_now;
    uint64_t m_lastSensorTick = 0;
    uint64_t m_lastCounterTick = 0;
    Held m_cpu;
    Held m_discreteGpu;
    Held m_integratedGpu;
};
