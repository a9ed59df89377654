#include "hwmon/sensor_passes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "hwmon/utilisation.h"

namespace {

bool Contains(std::string_view text, std::string_view needle)
{
    return text.find(needle) != std::string_view::npos;
}

bool ContainsAny(std::string_view text, std::initializer_list<std::string_view> needles)
{
    return std::any_of(needles.begin(), needles.end(), [text](std::string_view n) { return Contains(text, n); });
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

float LimitedPercent(double value)
{
    return static_cast<float>(std::clamp(value, 0.0, 100.0));
}

// A sensor's name as the source wrote it into a zeroed buffer. A name that
// fills the whole buffer without a NUL ends at the buffer's end.
class SensorName {
public:
    SensorName(SensorSource& source, int32_t sensor)
    {
        m_buffer.fill(0);
        source.SensorName(sensor, m_buffer.data(), SensorSource::kNameBytes);
        const void* nul = std::memchr(m_buffer.data(), 0, m_buffer.size());
        m_length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - m_buffer.data())
                                  : m_buffer.size();
    }
    std::string_view View() const { return {m_buffer.data(), m_length}; }

private:
    std::array<char, SensorSource::kNameBytes> m_buffer;
    size_t m_length = 0;
};

// A source that counts absurdly many sensors must not hold the polling thread
// (and with it the daemon's shutdown) for hours; real machines have a few dozen.
constexpr int32_t kMaxSensors = 1024;

int32_t SensorsToWalk(SensorSource& source)
{
    return std::min(source.SensorCount(), kMaxSensors);
}

// Calls visit(sensor index, name) for every sensor the source counts now.
template <typename Visit>
void ForEachSensor(SensorSource& source, Visit visit)
{
    const int32_t count = SensorsToWalk(source);
    for (int32_t sensor = 0; sensor < count; ++sensor) {
        const SensorName name(source, sensor);
        visit(sensor, name.View());
    }
}

// Calls visit(record) for every record of the kind that the source delivers
// and marks as existing.
template <typename Visit>
void ForEachRecord(SensorSource& source, int32_t kind, int32_t sensor, SensorReadingRecord& record, Visit visit)
{
    for (int32_t reading = 0; reading < SensorSource::kReadingsPerSensor; ++reading) {
        record.Clear();
        if (source.ReadReading(kind, sensor, reading, record) && record.Exists()) {
            visit(record);
        }
    }
}

int CpuLoadScore(const SensorReadingRecord& record)
{
    const std::string label = Lower(record.Label());
    if (Contains(label, "total cpu utility")) {
        return 500;
    }
    if (Contains(label, "total cpu utilization")) {
        return 400;
    }
    if (Contains(label, "total cpu usage")) {
        return 300;
    }
    if (label == "cpu utility") {
        return 250;
    }
    if (label == "cpu utilization") {
        return 200;
    }
    if (label == "cpu usage" || label == "cpu") {
        return 150;
    }
    return record.Code() == kCodeCpuTotal ? 100 : -1;
}

void CpuPass(SensorSource& source, SensorReadingRecord& record, HardwareSnapshot& out)
{
    bool packageFound = false;
    int bestScore = -1;
    ForEachSensor(source, [&](int32_t sensor, std::string_view name) {
        ForEachRecord(source, kReadingTemperature, sensor, record, [&](const SensorReadingRecord& r) {
            if (r.Group() != kGroupCpu) {
                return;
            }
            const std::string_view label = r.Label();
            if (label == "CPU (Tctl/Tdie)" || Contains(label, "CPU Package") || Contains(name, "CPU Package")) {
                out.cpuTemp = static_cast<float>(r.Value());
                packageFound = true;
            } else if (!packageFound && out.cpuTemp <= 0 && ContainsAny(label, {"CPU", "Core"})) {
                out.cpuTemp = static_cast<float>(r.Value());
            }
        });
        ForEachRecord(source, kReadingLoad, sensor, record, [&](const SensorReadingRecord& r) {
            if (r.Group() != kGroupCpu || std::isnan(r.Value())) {
                return;
            }
            const int score = CpuLoadScore(r);
            if (score > bestScore) {
                bestScore = score;
                out.cpuUsage = LimitedPercent(r.Value());
            }
        });
    });
    out.cpuUsageValid = bestScore >= 0;
}

enum GpuLoadKind { k3dLoad, kUtilisation, kCoreLoad, kGpuLoadKinds, kNotALoad = kGpuLoadKinds };

GpuLoadKind ClassifyGpuLoad(const SensorReadingRecord& record)
{
    if (!Contains(record.Unit(), "%")) {
        return kNotALoad;
    }
    const std::string label = Lower(record.Label());
    if (ContainsAny(label, {"bus", "memory", "mem "})) {
        return kNotALoad;
    }
    if (Contains(label, "d3d") && ContainsAny(label, {"usage", "utilization"})) {
        return k3dLoad;
    }
    if (Contains(label, "core load")) {
        return kCoreLoad;
    }
    if (Contains(label, "gpu utilization") && !ContainsAny(label, {"video", "encode", "decode"})) {
        return kUtilisation;
    }
    return kNotALoad;
}

// What the GPU pass gathers for one class (discrete or integrated).
struct GpuClass {
    int32_t device = -1;                                  ///< fixed by the first record with an index
    std::array<float, kGpuLoadKinds> loads{-1, -1, -1};  ///< largest per kind; -1 = none

    bool TakesDevice(int32_t index)
    {
        if (index < 0) {
            return true;
        }
        if (device < 0) {
            device = index;
        }
        return index == device;
    }
    // Utilisation before 3D load before core load.
    std::optional<float> Load() const
    {
        for (GpuLoadKind kind : {kUtilisation, k3dLoad, kCoreLoad}) {
            if (loads[kind] >= 0) {
                return loads[kind];
            }
        }
        return std::nullopt;
    }
};

void GpuPass(SensorSource& source, SensorReadingRecord& record, HardwareSnapshot& out)
{
    GpuClass discrete;
    GpuClass integrated;
    ForEachSensor(source, [&](int32_t sensor, std::string_view name) {
        const bool isDiscrete = IsDiscreteGpuName(name);
        if (!isDiscrete && !ContainsAny(name, {"GPU", "Graphics"})) {
            return;
        }
        (isDiscrete ? out.hasDiscreteGpu : out.hasIntegratedGpu) = true;
        GpuClass& gpu = isDiscrete ? discrete : integrated;
        float& temp = isDiscrete ? out.discreteGpuTemp : out.integratedGpuTemp;

        ForEachRecord(source, kReadingTemperature, sensor, record, [&](const SensorReadingRecord& r) {
            if (r.Group() != kGroupGpu || !gpu.TakesDevice(r.Device())) {
                return;
            }
            const std::string_view label = r.Label();
            const bool gpuTemp = Contains(label, "GPU Temperature") || label == "GPU";
            const bool hotSpot = ContainsAny(label, {"Hot Spot", "Hotspot"});
            if ((gpuTemp && (isDiscrete || temp <= 0)) || (isDiscrete && !gpuTemp && hotSpot && temp <= 0)) {
                temp = static_cast<float>(r.Value());
            }
        });
        ForEachRecord(source, kReadingLoad, sensor, record, [&](const SensorReadingRecord& r) {
            if (r.Group() != kGroupGpu || !gpu.TakesDevice(r.Device()) || std::isnan(r.Value())) {
                return;
            }
            const GpuLoadKind kind = ClassifyGpuLoad(r);
            if (kind != kNotALoad) {
                gpu.loads[kind] = std::max(gpu.loads[kind], LimitedPercent(r.Value()));
            }
        });
    });
    if (const auto load = discrete.Load()) {
        out.discreteGpuUsage = *load;
        out.discreteGpuUsageValid = true;
    }
    if (const auto load = integrated.Load()) {
        out.integratedGpuUsage = *load;
        out.integratedGpuUsageValid = true;
    }
}

bool IsNetworkSensor(std::string_view name)
{
    return ContainsAny(name, {"Network", "Ethernet", "Wi-Fi", "WiFi", "Wireless", "LAN"}) &&
           !ContainsAny(name, {"S.M.A.R.T.", "Drive:"});
}

void NetworkPass(SensorSource& source, SensorReadingRecord& record, HardwareSnapshot& out)
{
    double best = -1;
    ForEachSensor(source, [&](int32_t sensor, std::string_view name) {
        if (!IsNetworkSensor(name)) {
            return;
        }
        double upload = 0;
        double download = 0;
        ForEachRecord(source, kReadingNetwork, sensor, record, [&](const SensorReadingRecord& r) {
            if (r.Group() == kGroupNetwork || r.Source() == kSourceNetwork) {
                if (r.Code() == kCodeUploadRate) {
                    upload = r.Value();
                } else if (r.Code() == kCodeDownloadRate) {
                    download = r.Value();
                }
                return;
            }
            const std::string_view label = r.Label();
            if (upload <= 0 && ContainsAny(label, {"Upload", "Current Upload", "Tx"})) {
                upload = r.Value();
            } else if (download <= 0 && ContainsAny(label, {"Download", "Current Download", "Rx"})) {
                download = r.Value();
            }
        });
        if (upload + download > best) {
            best = upload + download;
            out.networkUpload = static_cast<float>(upload);
            out.networkDownload = static_cast<float>(download);
        }
    });
}

}  // namespace

void ReadSensorPasses(SensorSource& source, HardwareSnapshot& out)
{
    source.Refresh();
    const int32_t count = SensorsToWalk(source);
    for (int32_t sensor = 0; sensor < count; ++sensor) {
        source.UpdateSensor(sensor);
    }
    SensorReadingRecord record;
    CpuPass(source, record, out);
    GpuPass(source, record, out);
    NetworkPass(source, record, out);
}
