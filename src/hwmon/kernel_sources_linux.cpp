#include "hwmon/kernel_sources.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "base/clock.h"
#include "hwmon/kernel_gpus.h"
#include "hwmon/utilisation.h"

namespace {

constexpr int64_t kLoopbackType = 772;  // ARPHRD_LOOPBACK in /sys/class/net/<name>/type

// hwmon chips that measure the CPU: AMD (k10temp, or the zenpower module),
// Intel (coretemp), and the SoC sensor of ARM boards.
bool IsCpuChip(const std::string& chip)
{
    return chip == "k10temp" || chip == "zenpower" || chip == "coretemp" || chip == "cpu_thermal";
}

// CPU temperature labels in the sensor library's words, which the CPU pass
// looks for: the package reading, and per-core readings.
std::string CpuTemperatureLabel(const std::string& chip, const std::string& label)
{
    if (chip == "k10temp" || chip == "zenpower") {
        return label.empty() || label == "Tctl" || label == "Tdie" ? "CPU (Tctl/Tdie)" : "CPU " + label;
    }
    if (chip == "coretemp") {
        if (label.rfind("Package id", 0) == 0) {
            return "CPU Package";
        }
        return label.rfind("Core", 0) == 0 ? label : "CPU " + label;
    }
    return label.empty() ? "CPU" : "CPU " + label;
}

struct CpuChip {
    std::string dir;
    std::string name;
};

std::vector<CpuChip> FindCpuChips(const KernelTree& tree)
{
    std::vector<CpuChip> chips;
    for (const std::string& entry : tree.List("sys/class/hwmon")) {
        const std::string dir = "sys/class/hwmon/" + entry;
        const std::string name = tree.ReadLine(dir + "/name").value_or("");
        if (IsCpuChip(name)) {
            chips.push_back({dir, name});
        }
    }
    return chips;
}

SensorReadingRecord Record(int32_t group, const std::string& label, double value, const char* unit,
                           int32_t device = -1, int32_t code = 0)
{
    SensorReadingRecord record;
    record.SetExists(true);
    record.SetGroup(group);
    record.SetLabel(label);
    record.SetValue(value);
    record.SetUnit(unit);
    record.SetDevice(device);
    record.SetCode(code);
    return record;
}

struct InterfaceBytes {
    std::string name;
    uint64_t received = 0;
    uint64_t sent = 0;
};

// "<name>: <16 numbers>" lines after the two heading lines: bytes received
// first, bytes sent ninth.
std::vector<InterfaceBytes> ParseNetDev(const std::string& text)
{
    std::vector<InterfaceBytes> interfaces;
    std::istringstream lines(text);
    std::string line;
    for (int heading = 0; heading < 2 && std::getline(lines, line); ++heading) {
    }
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        InterfaceBytes bytes;
        std::istringstream name(line.substr(0, colon));
        name >> bytes.name;
        std::istringstream fields(line.substr(colon + 1));
        uint64_t numbers[9] = {};
        bool complete = true;
        for (uint64_t& number : numbers) {
            complete = complete && static_cast<bool>(fields >> number);
        }
        if (complete && !bytes.name.empty()) {
            bytes.received = numbers[0];
            bytes.sent = numbers[8];
            interfaces.push_back(std::move(bytes));
        }
    }
    return interfaces;
}

struct CpuTimes {
    uint64_t total = 0;
    uint64_t idle = 0;
};

// The first line of /proc/stat: "cpu user nice system idle iowait irq softirq
// steal ..."; guest time is already part of user time.
std::optional<CpuTimes> ParseCpuTimes(const std::string& stat)
{
    std::istringstream line(stat.substr(0, stat.find('\n')));
    std::string label;
    uint64_t fields[8] = {};
    if (!(line >> label) || label != "cpu") {
        return std::nullopt;
    }
    for (uint64_t& field : fields) {
        if (!(line >> field)) {
            return std::nullopt;
        }
    }
    CpuTimes times;
    for (uint64_t field : fields) {
        times.total += field;
    }
    times.idle = fields[3] + fields[4];
    return times;
}

// The sensor library's contract, served from the kernel's files. Refresh
// reads everything; the rest only hands out what it read.
class KernelSensorSource final : public SensorSource {
public:
    KernelSensorSource(KernelTree tree, std::shared_ptr<KernelGpus> gpus, std::function<uint64_t()> now)
        : m_tree(std::move(tree)), m_gpus(std::move(gpus)), m_now(std::move(now))
    {
    }

    void Refresh() override
    {
        m_sensors.clear();
        AddCpuSensors();
        AddGpuSensors();
        AddNetworkSensors();
    }
    int32_t SensorCount() override { return static_cast<int32_t>(m_sensors.size()); }
    void UpdateSensor(int32_t) override {}
    void SensorName(int32_t sensor, char* buffer, int32_t size) override
    {
        if (sensor < 0 || sensor >= SensorCount() || size <= 0) {
            return;
        }
        const std::string& name = m_sensors[static_cast<size_t>(sensor)].name;
        const size_t length = std::min(name.size(), static_cast<size_t>(size) - 1);
        std::memcpy(buffer, name.data(), length);
        buffer[length] = '\0';
    }
    bool ReadReading(int32_t kind, int32_t sensor, int32_t reading, SensorReadingRecord& record) override
    {
        if (sensor < 0 || sensor >= SensorCount() || reading < 0) {
            return false;
        }
        const Sensor& s = m_sensors[static_cast<size_t>(sensor)];
        const auto& records = kind == kReadingTemperature ? s.temperatures
                              : kind == kReadingNetwork   ? s.rates
                                                          : s.none;
        if (static_cast<size_t>(reading) >= records.size()) {
            return false;
        }
        record = records[static_cast<size_t>(reading)];
        return true;
    }

private:
    struct Sensor {
        std::string name;
        std::vector<SensorReadingRecord> temperatures;
        std::vector<SensorReadingRecord> rates;
        std::vector<SensorReadingRecord> none;  // loads come from the counters
    };

    void AddCpuSensors()
    {
        for (const CpuChip& chip : FindCpuChips(m_tree)) {
            Sensor sensor{"CPU: " + chip.name, {}, {}, {}};
            for (const HwmonTemperature& t : ReadHwmonTemperatures(m_tree, chip.dir)) {
                sensor.temperatures.push_back(
                    Record(kGroupCpu, CpuTemperatureLabel(chip.name, t.label), t.celsius, "°C"));
            }
            m_sensors.push_back(std::move(sensor));
        }
    }

    void AddGpuSensors()
    {
        int32_t device = 0;
        for (const KernelGpu& gpu : m_gpus->Enumerate()) {
            Sensor sensor{"GPU [#" + std::to_string(device) + "]: " + gpu.name, {}, {}, {}};
            for (const HwmonTemperature& t : m_gpus->Temperatures(gpu)) {
                sensor.temperatures.push_back(Record(kGroupGpu, t.label, t.celsius, "°C", device));
            }
            m_sensors.push_back(std::move(sensor));
            ++device;
        }
    }

    // Bytes per second of each interface since the previous refresh; 0 at
    // the first sight of an interface and across a counter reset.
    void AddNetworkSensors()
    {
        const uint64_t now = m_now();
        const uint64_t elapsedMs = now > m_lastRefreshMs ? now - m_lastRefreshMs : 0;
        std::map<std::string, InterfaceBytes> previous = std::move(m_lastBytes);
        m_lastBytes.clear();
        m_lastRefreshMs = now;
        for (InterfaceBytes& bytes : ParseNetDev(m_tree.ReadText("proc/net/dev").value_or(""))) {
            if (bytes.name == "lo" || m_tree.ReadNumber("sys/class/net/" + bytes.name + "/type") == kLoopbackType) {
                continue;
            }
            double download = 0;
            double upload = 0;
            if (const auto last = previous.find(bytes.name); last != previous.end() && elapsedMs > 0) {
                download = Rate(last->second.received, bytes.received, elapsedMs);
                upload = Rate(last->second.sent, bytes.sent, elapsedMs);
            }
            Sensor sensor{"Network: " + bytes.name, {}, {}, {}};
            sensor.rates.push_back(Record(kGroupNetwork, "Current DL rate", download, "B/s", -1, kCodeDownloadRate));
            sensor.rates.push_back(Record(kGroupNetwork, "Current UP rate", upload, "B/s", -1, kCodeUploadRate));
            m_sensors.push_back(std::move(sensor));
            m_lastBytes.emplace(bytes.name, std::move(bytes));
        }
    }

    static double Rate(uint64_t before, uint64_t after, uint64_t elapsedMs)
    {
        return after >= before ? static_cast<double>(after - before) * 1000.0 / static_cast<double>(elapsedMs) : 0;
    }

    KernelTree m_tree;
    std::shared_ptr<KernelGpus> m_gpus;
    std::function<uint64_t()> m_now;
    std::vector<Sensor> m_sensors;
    std::map<std::string, InterfaceBytes> m_lastBytes;
    uint64_t m_lastRefreshMs = 0;
};

// CPU load from the change of /proc/stat between two reads; GPU loads from
// DRM and NVML, with the discrete and integrated GPU chosen by name.
class KernelCounters final : public CounterSource {
public:
    KernelCounters(KernelTree tree, std::shared_ptr<KernelGpus> gpus) : m_tree(std::move(tree)), m_gpus(std::move(gpus))
    {
    }

    bool ReadCpu(HardwareSnapshot& out) override
    {
        const auto times = ParseCpuTimes(m_tree.ReadText("proc/stat").value_or(""));
        const auto last = std::exchange(m_lastCpu, times);
        if (!times || !last || times->total <= last->total) {
            return false;  // a utilisation needs two samples with time between them
        }
        const double total = static_cast<double>(times->total - last->total);
        const double idle = static_cast<double>(times->idle) - static_cast<double>(last->idle);
        return StoreCpuUsage(out, 0, 100.0 * (total - idle) / total);
    }

    bool ReadGpu(HardwareSnapshot& out) override
    {
        std::vector<GpuAdapter> adapters;
        std::map<uint64_t, float> loads;
        for (const KernelGpu& gpu : m_gpus->Enumerate()) {
            const uint64_t id = adapters.size();
            adapters.push_back({id, gpu.name, false});
            if (const auto load = m_gpus->Load(gpu)) {
                if (const auto accepted = AcceptedPercent(0, *load)) {
                    loads.emplace(id, *accepted);
                }
            }
        }
        return ApplyGpuLoads(adapters, loads, out);
    }

private:
    KernelTree m_tree;
    std::shared_ptr<KernelGpus> m_gpus;
    std::optional<CpuTimes> m_lastCpu;
};

// "the kernel: CPU load (/proc/stat), CPU temperature (k10temp), GPUs (...), network rates (/proc/net/dev)"
std::string Describe(const KernelTree& tree, KernelGpus& gpus)
{
    const auto list = [](const auto& items, auto name) {
        std::string text;
        for (const auto& item : items) {
            text += (text.empty() ? "" : ", ") + name(item);
        }
        return text.empty() ? std::string("none") : text;
    };
    return "the kernel: CPU load (/proc/stat), CPU temperature (" +
           list(FindCpuChips(tree), [](const CpuChip& chip) { return chip.name; }) + "), GPUs (" +
           list(gpus.Enumerate(),
                [](const KernelGpu& gpu) { return gpu.name + (gpu.nvmlIndex ? " through NVML" : ""); }) +
           "), network rates (/proc/net/dev)";
}

}  // namespace

HardwareSources OpenKernelSources(const KernelSourceOptions& options)
{
    KernelTree tree(options.root);
    if (!ParseCpuTimes(tree.ReadText("proc/stat").value_or(""))) {
        return {nullptr, nullptr, "cannot read " + tree.Path("proc/stat").string()};
    }
    auto gpus = std::make_shared<KernelGpus>(tree, Nvml::Load(options.nvmlLibrary));
    std::function<uint64_t()> now = options.nowMs ? options.nowMs : TickCount64;
    std::string description = Describe(tree, *gpus);
    return {std::make_unique<KernelSensorSource>(tree, gpus, std::move(now)), std::make_unique<KernelCounters>(tree, gpus),
            std::move(description)};
}
