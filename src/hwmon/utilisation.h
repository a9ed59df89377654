#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hwmon/hardware_snapshot.h"

// The decisions behind the utilisation counters, apart from the calls that
// collect them: which counter values count, how per-engine GPU loads become
// one load per adapter, and which adapters are the discrete and the
// integrated GPU.

// Discrete graphics by name (an adapter description or a sensor name), tested
// on a lower-case copy: NVIDIA and GeForce, AMD/Radeon product lines, Intel Arc.
bool IsDiscreteGpuName(std::string_view name);

// A percentage counter value, limited to 100; none when its status is not
// valid or new data (0 or 1), or it is negative or not finite.
std::optional<float> AcceptedPercent(uint32_t status, double value);

// The CPU load into the snapshot when AcceptedPercent takes it; false (and the
// snapshot unchanged) when not.
bool StoreCpuUsage(HardwareSnapshot& out, uint32_t status, double value);

// An adapter as the system knows it: the identity its counters carry (a LUID
// on Windows, high part first), its description, and whether it is a software
// renderer.
struct GpuAdapter {
    uint64_t id = 0;
    std::string name;
    bool software = false;
};

// The engine of a GPU engine counter instance.
struct GpuEngineKey {
    uint64_t adapter = 0;  ///< LUID high part << 32 | low part
    uint32_t physical = 0;
    uint32_t engine = 0;
    auto operator<=>(const GpuEngineKey&) const = default;
};

// The engine named in a counter instance, from its first "_luid_0x": then
// "_luid_0x<hex>_0x<hex>_phys_<decimal>_eng_<decimal>", anything after. None
// when a part is missing or a number does not fit in 32 bits.
std::optional<GpuEngineKey> ParseEngineInstance(std::wstring_view instance);

// Load per engine summed over every process, then each adapter's busiest
// engine after limiting to 0..100.
class GpuEngineLoads {
public:
    void Add(const GpuEngineKey& key, double value) { m_engines[key] += value; }
    bool Empty() const { return m_engines.empty(); }
    std::map<uint64_t, float> PerAdapter() const;

private:
    std::map<GpuEngineKey, double> m_engines;
};

// In enumeration order, the first hardware adapter whose name is discrete is
// the discrete GPU and the first other one the integrated GPU; later adapters
// of a kind already taken are ignored, even when the one taken has no load.
// Writes the GPU fields of the record for each chosen adapter that has a
// load; true when either had one.
bool ApplyGpuLoads(const std::vector<GpuAdapter>& adapters, const std::map<uint64_t, float>& loads,
                   HardwareSnapshot& out);
