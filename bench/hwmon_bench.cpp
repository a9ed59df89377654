// The hardware monitor's work per poll: the three sensor passes over a source
// of 20 sensors with 64 readings each, one Linux read of a fake machine, and
// the hardware route's lock, copy and serialisation.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/kolvex_dlg.h"
#include "hwmon/hardware_monitor.h"
#include "hwmon/kernel_sources.h"
#include "hwmon/sensor_passes.h"

namespace {

// Records ready per sensor and kind, handed out by index as a library would.
class PreparedSource final : public SensorSource {
public:
    static constexpr int kSensors = 20;
    static constexpr int kReadings = 64;

    PreparedSource()
    {
        const char* names[] = {"CPU [#0]: AMD Ryzen 9 7950X", "GPU [#0]: NVIDIA GeForce RTX 4080",
                               "GPU [#1]: AMD Radeon(TM) Graphics", "Network: Intel Ethernet", "Drive: Samsung 990"};
        const int32_t groups[] = {kGroupCpu, kGroupGpu, kGroupGpu, kGroupNetwork, 0};
        for (int s = 0; s < kSensors; ++s) {
            Sensor& sensor = m_sensors[s];
            sensor.name = names[s % 5];
            for (int r = 0; r < kReadings; ++r) {
                const int32_t kind = r % 3 == 0 ? kReadingTemperature : r % 3 == 1 ? kReadingLoad : kReadingNetwork;
                SensorReadingRecord record;
                record.SetExists(true);
                record.SetGroup(groups[s % 5]);
                record.SetValue(r * 1.5);
                record.SetUnit(kind == kReadingLoad ? "%" : "°C");
                record.SetLabel(r % 7 == 0 ? "Total CPU Usage" : "GPU Core Load " + std::to_string(r));
                record.SetCode(kind == kReadingNetwork ? kCodeDownloadRate + r % 2 : 0);
                record.SetDevice(-1);
                sensor.byKind[kind].push_back(record);
            }
        }
    }

    void Refresh() override {}
    int32_t SensorCount() override { return kSensors; }
    void UpdateSensor(int32_t) override {}
    void SensorName(int32_t sensor, char* buffer, int32_t size) override
    {
        std::snprintf(buffer, static_cast<size_t>(size), "%s", m_sensors[sensor].name.c_str());
    }
    bool ReadReading(int32_t kind, int32_t sensor, int32_t reading, SensorReadingRecord& record) override
    {
        const auto& records = m_sensors[sensor].byKind[kind];
        if (static_cast<size_t>(reading) >= records.size()) {
            return false;
        }
        record = records[static_cast<size_t>(reading)];
        return true;
    }

private:
    struct Sensor {
        std::string name;
        std::map<int32_t, std::vector<SensorReadingRecord>> byKind;
    };
    Sensor m_sensors[kSensors];
};

void BM_ReadSensorPasses(benchmark::State& state)
{
    PreparedSource source;
    for (auto _ : state) {
        HardwareSnapshot out;
        ReadSensorPasses(source, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ReadSensorPasses)->Unit(benchmark::kMicrosecond);

// A desktop of files: k10temp, two GPUs with hwmon, four interfaces.
class FakeMachine {
public:
    FakeMachine()
    {
        char pattern[] = "/tmp/tonvik-bench-XXXXXX";
        m_root = ::mkdtemp(pattern);
        Write("proc/stat", "cpu  1000 0 500 8000 20 0 0 0 0 0\n");
        std::string netDev = "Inter-|\n face |\n";
        for (const char* name : {"lo", "eth0", "wlan0", "docker0"}) {
            netDev += std::string(name) + ": 1000 1 0 0 0 0 0 0 2000 1 0 0 0 0 0 0\n";
        }
        Write("proc/net/dev", netDev);
        Write("sys/class/hwmon/hwmon0/name", "k10temp");
        for (int t = 1; t <= 4; ++t) {
            Write("sys/class/hwmon/hwmon0/temp" + std::to_string(t) + "_input", "55000");
            Write("sys/class/hwmon/hwmon0/temp" + std::to_string(t) + "_label", t == 1 ? "Tctl" : "Tccd");
        }
        for (int card = 0; card < 2; ++card) {
            const std::string dir = "sys/class/drm/card" + std::to_string(card) + "/device/";
            Write(dir + "class", "0x030000");
            Write(dir + "vendor", "0x1002");
            Write(dir + "device", card == 0 ? "0x73ff" : "0x164e");
            Write(dir + "boot_vga", card == 0 ? "1" : "0");
            Write(dir + "gpu_busy_percent", "20");
            Write(dir + "hwmon/hwmon" + std::to_string(card + 1) + "/name", "amdgpu");
            Write(dir + "hwmon/hwmon" + std::to_string(card + 1) + "/temp1_input", "48000");
            Write(dir + "hwmon/hwmon" + std::to_string(card + 1) + "/temp1_label", "edge");
        }
    }
    ~FakeMachine() { std::filesystem::remove_all(m_root); }
    std::string Root() const { return m_root.string(); }

private:
    void Write(const std::string& relative, const std::string& text)
    {
        std::filesystem::create_directories((m_root / relative).parent_path());
        std::ofstream(m_root / relative) << text << "\n";
    }
    std::filesystem::path m_root;
};

void BM_LinuxReadOfAFakeMachine(benchmark::State& state)
{
    const FakeMachine machine;
    HardwareMonitor monitor([&] { return OpenKernelSources({machine.Root(), "/nonexistent/libnvidia-ml.so.1", {}}); });
    monitor.Open();
    for (auto _ : state) {
        HardwareSnapshot sensors;
        HardwareSnapshot counters;
        benchmark::DoNotOptimize(monitor.ReadSensors(sensors));
        benchmark::DoNotOptimize(monitor.ReadCounters(counters));
    }
}
BENCHMARK(BM_LinuxReadOfAFakeMachine)->Unit(benchmark::kMicrosecond);

void BM_BuildHardwareJson(benchmark::State& state)
{
    auto dlg = std::make_unique<CKolvexDlg>();
    {
        const SnapshotTarget target = dlg->Snapshot();
        std::lock_guard lock(target.mutex);
        target.snapshot.cpuTemp = 61.5f;
        target.snapshot.cpuUsage = 37.3f;
        target.snapshot.cpuUsageValid = true;
        target.snapshot.hasDiscreteGpu = true;
        target.snapshot.discreteGpuTemp = 57;
        target.snapshot.discreteGpuUsage = 40;
        target.snapshot.discreteGpuUsageValid = true;
        target.snapshot.networkDownload = 300;
        target.snapshot.networkUpload = 12.5f;
        target.valid = true;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(dlg->BuildHardwareJson());
    }
}
BENCHMARK(BM_BuildHardwareJson)->Unit(benchmark::kMicrosecond);

}  // namespace
