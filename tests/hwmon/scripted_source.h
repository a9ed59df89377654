#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hwmon/sensor_source.h"

// A sensor source that serves readings written by a test.
struct ScriptedReading {
    int32_t kind = kReadingTemperature;
    std::string label;
    double value = 0;
    int32_t group = kGroupCpu;
    std::string unit;
    int32_t device = -1;
    int32_t code = 0;
    int32_t source = 0;
};

inline ScriptedReading Temp(std::string label, double value, int32_t group = kGroupCpu, int32_t device = -1)
{
    return {kReadingTemperature, std::move(label), value, group, "°C", device};
}

inline ScriptedReading Load(std::string label, double value, int32_t group = kGroupCpu, std::string unit = "%",
                            int32_t code = 0, int32_t device = -1)
{
    return {kReadingLoad, std::move(label), value, group, std::move(unit), device, code};
}

inline ScriptedReading Rate(std::string label, double value, int32_t group = 0, int32_t code = 0,
                            int32_t source = 0)
{
    return {kReadingNetwork, std::move(label), value, group, "KB/s", -1, code, source};
}

struct ScriptedSensor {
    std::string name;
    std::vector<ScriptedReading> readings;
};

class ScriptedSource : public SensorSource {
public:
    explicit ScriptedSource(std::vector<ScriptedSensor> list) : sensors(std::move(list)) {}

    void Refresh() override { ++refreshes; }
    int32_t SensorCount() override { return static_cast<int32_t>(sensors.size()); }
    void UpdateSensor(int32_t) override {}
    void SensorName(int32_t sensor, char* buffer, int32_t size) override
    {
        const std::string& name = sensors.at(static_cast<size_t>(sensor)).name;
        std::memcpy(buffer, name.data(), std::min(name.size() + 1, static_cast<size_t>(size)));
    }
    // The readings of a kind are served at indexes 0, 1, 2, ... in script order.
    bool ReadReading(int32_t kind, int32_t sensor, int32_t reading, SensorReadingRecord& record) override
    {
        int32_t index = 0;
        for (const ScriptedReading& r : sensors.at(static_cast<size_t>(sensor)).readings) {
            if (r.kind != kind || index++ != reading) {
                continue;
            }
            record.SetExists(true);
            record.SetLabel(r.label);
            record.SetValue(r.value);
            record.SetGroup(r.group);
            record.SetUnit(r.unit);
            record.SetDevice(r.device);
            record.SetCode(r.code);
            record.SetSource(r.source);
            return true;
        }
        return false;
    }

    std::vector<ScriptedSensor> sensors;
    int refreshes = 0;
};

// Counters whose next results a test sets; nullopt = that counter fails.
class ScriptedCounters : public CounterSource {
public:
    bool ReadCpu(HardwareSnapshot& out) override
    {
        if (!cpu) {
            return false;
        }
        out.cpuUsage = *cpu;
        out.cpuUsageValid = true;
        return true;
    }
    bool ReadGpu(HardwareSnapshot& out) override
    {
        if (discreteGpu) {
            out.hasDiscreteGpu = out.discreteGpuUsageValid = true;
            out.discreteGpuUsage = *discreteGpu;
        }
        if (integratedGpu) {
            out.hasIntegratedGpu = out.integratedGpuUsageValid = true;
            out.integratedGpuUsage = *integratedGpu;
        }
        return discreteGpu || integratedGpu;
    }

    std::optional<float> cpu;
    std::optional<float> discreteGpu;
    std::optional<float> integratedGpu;
};
