// The three selection passes over scripted sensors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hwmon/sensor_passes.h"
#include "scripted_source.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

HardwareSnapshot Read(std::vector<ScriptedSensor> sensors)
{
    ScriptedSource source(std::move(sensors));
    HardwareSnapshot out;
    ReadSensorPasses(source, out);
    return out;
}

struct CpuCase {
    const char* what;
    std::vector<ScriptedSensor> sensors;
    float temp;
    float usage;
    bool usageValid;
};

TEST(SensorPasses, CpuTemperatureAndLoadFollowTheirPrecedence)
{
    const std::vector<CpuCase> cases = {
        {"package reading wins over cores in any order",
         {{"CPU [#0]: AMD Ryzen 7", {Temp("Core 0", 50), Temp("CPU (Tctl/Tdie)", 61), Temp("Core 1", 55)}}}, 61, 0,
         false},
        {"a later package reading overwrites an earlier one",
         {{"CPU [#0]", {Temp("CPU Package", 60), Temp("Core 1", 70), Temp("CPU Package", 65)}}}, 65, 0, false},
        {"without a package, the first CPU or core reading above 0 stays",
         {{"CPU [#0]", {Temp("CPU Core", 0), Temp("Core 1", 48), Temp("CPU IA Cores", 52)}}}, 48, 0, false},
        {"the sensor's name can mark the package",
         {{"CPU Package Sensor", {Temp("Core 0", 40), Temp("Die", 57)}}}, 57, 0, false},
        {"only the CPU group counts",
         {{"CPU [#0]", {Temp("CPU Package", 70, kGroupGpu), Load("Total CPU Usage", 20, kGroupGpu)}}}, 0, 0, false},
        {"Total CPU Usage (300) beats CPU Utility (250) whatever the order",
         {{"CPU [#0]", {Load("CPU Utility", 80), Load("Total CPU Usage", 30)}}}, 0, 30, true},
        {"on equal scores the first stays, across sensors",
         {{"CPU [#0]", {Load("cpu", 11)}}, {"CPU [#1]", {Load("CPU Usage", 22)}}}, 0, 11, true},
        {"the best score wins across sensors",
         {{"CPU [#0]", {Load("cpu", 11)}}, {"CPU [#1]", {Load("Total CPU Utility", 33)}}}, 0, 33, true},
        {"reading code 1 scores an unmatched label; others are no candidates",
         {{"CPU [#0]", {Load("Max CPU/Thread Usage", 90), Load("Core Usage Avg", 45, kGroupCpu, "%", 1)}}}, 0, 45,
         true},
        {"loads are limited to 0..100 and a NaN load is no candidate",
         {{"CPU [#0]", {Load("Total CPU Usage", kNaN), Load("CPU Usage", 130)}}}, 0, 100, true},
    };
    for (const CpuCase& c : cases) {
        const HardwareSnapshot out = Read(c.sensors);
        EXPECT_EQ(out.cpuTemp, c.temp) << c.what;
        EXPECT_EQ(out.cpuUsage, c.usage) << c.what;
        EXPECT_EQ(out.cpuUsageValid, c.usageValid) << c.what;
    }
}

struct GpuLoadCase {
    std::vector<ScriptedReading> readings;
    std::optional<float> load;
};

TEST(SensorPasses, GpuLoadPrefersUtilisationThen3dThenCoreLoad)
{
    const std::vector<GpuLoadCase> cases = {
        {{Load("GPU Core Load", 90, kGroupGpu), Load("GPU D3D Usage", 70, kGroupGpu),
          Load("GPU Utilization", 40, kGroupGpu)},
         40},
        {{Load("GPU Core Load", 90, kGroupGpu), Load("GPU D3D Usage", 70, kGroupGpu)}, 70},
        {{Load("GPU Core Load", 90, kGroupGpu)}, 90},
        {{Load("GPU D3D Utilization 1", 20, kGroupGpu), Load("GPU D3D Usage", 35, kGroupGpu)}, 35},
        {{Load("GPU Utilization Video Decode", 60, kGroupGpu), Load("GPU Memory Controller Load", 60, kGroupGpu),
          Load("GPU Bus Load", 60, kGroupGpu), Load("GPU Mem Core Load", 60, kGroupGpu)},
         std::nullopt},
        {{Load("GPU Utilization", 60, kGroupGpu, "MHz"), Load("GPU Core Load", 60, kGroupCpu)}, std::nullopt},
        {{Load("GPU Utilization", 250, kGroupGpu)}, 100},
    };
    for (const GpuLoadCase& c : cases) {
        const HardwareSnapshot out = Read({{"GPU [#0]: NVIDIA GeForce RTX 3060", c.readings}});
        EXPECT_TRUE(out.hasDiscreteGpu);
        EXPECT_EQ(out.discreteGpuUsageValid, c.load.has_value()) << c.readings.front().label;
        EXPECT_EQ(out.discreteGpuUsage, c.load.value_or(0)) << c.readings.front().label;
        EXPECT_FALSE(out.hasIntegratedGpu);
    }
}

TEST(SensorPasses, DiscreteAndIntegratedGpusKeepTheirOwnFigures)
{
    const HardwareSnapshot out = Read({
        {"GPU [#0]: AMD Radeon(TM) Graphics",
         {Temp("GPU Temperature", 41, kGroupGpu, 1), Temp("GPU Temperature", 49, kGroupGpu, 1),
          Temp("GPU Hot Spot", 80, kGroupGpu, 1), Load("GPU D3D Usage", 12, kGroupGpu, "%", 0, 1)}},
        {"GPU [#1]: AMD Radeon RX 6600",
         {Temp("GPU Hot Spot Temperature", 77, kGroupGpu, 0), Load("GPU Utilization", 88, kGroupGpu, "%", 0, 0),
          // Another device of the same class: filtered out.
          Load("GPU Utilization", 99, kGroupGpu, "%", 0, 3)}},
        {"Motherboard", {Temp("GPU", 30, kGroupGpu)}},
    });
    EXPECT_TRUE(out.hasIntegratedGpu);
    EXPECT_EQ(out.integratedGpuTemp, 41);  // the first above 0 stays; hot spots are not used
    EXPECT_EQ(out.integratedGpuUsage, 12);
    EXPECT_TRUE(out.integratedGpuUsageValid);
    EXPECT_TRUE(out.hasDiscreteGpu);
    EXPECT_EQ(out.discreteGpuTemp, 77);  // its only temperature is the hot spot
    EXPECT_EQ(out.discreteGpuUsage, 88);
    EXPECT_EQ(HardwareSnapshotJson(out),
              R"({"cpuTemp":0.0,"cpuUsage":0.0,"cpuUsageValid":false,"gpuTemp":77.0,"gpuUsage":88.0,)"
              R"("gpuUsageValid":true,"network_download":0.0,"network_upload":0.0})");
}

TEST(SensorPasses, ADiscreteGpuWithoutReadingsIsStillReported)
{
    const HardwareSnapshot out = Read({{"NVIDIA GeForce GTX 1080", {}},
                                       {"Intel(R) UHD Graphics", {Load("GPU D3D Usage", 25, kGroupGpu)}}});
    EXPECT_EQ(HardwareSnapshotJson(out),
              R"({"cpuTemp":0.0,"cpuUsage":0.0,"cpuUsageValid":false,"gpuTemp":0.0,"gpuUsage":0.0,)"
              R"("gpuUsageValid":false,"network_download":0.0,"network_upload":0.0})");
}

struct NetworkCase {
    const char* what;
    std::vector<ScriptedSensor> sensors;
    float upload;
    float download;
};

TEST(SensorPasses, TheBusiestNetworkAdapterIsReported)
{
    const auto coded = [](double up, double down) {
        return std::vector{Rate("Current UP rate", up, kGroupNetwork, kCodeUploadRate),
                           Rate("Current DL rate", down, 0, kCodeDownloadRate, kSourceNetwork)};
    };
    const std::vector<NetworkCase> cases = {
        {"idle then busy", {{"Network: Intel Ethernet", coded(0, 0)}, {"Network: Wi-Fi 6", coded(12.5, 300)}}, 12.5,
         300},
        {"two idle adapters: the first", {{"Wireless A", coded(0, 0)}, {"LAN B", coded(0, 0)}}, 0, 0},
        {"drives and unnamed sensors take no part",
         {{"Ethernet", coded(1, 1)}, {"Drive: LAN Storage", coded(50, 50)}, {"S.M.A.R.T.: WiFi", coded(50, 50)},
          {"Router", coded(50, 50)}},
         1, 1},
        {"without codes the labels decide; the first upload and download stay",
         {{"Network: Realtek",
           {Rate("Total Tx", 0), Rate("Current Upload", 7), Rate("Tx Rate", 9), Rate("Current Download", 20),
            Rate("Rx Rate", 30)}}},
         7, 20},
    };
    for (const NetworkCase& c : cases) {
        const HardwareSnapshot out = Read(c.sensors);
        EXPECT_EQ(out.networkUpload, c.upload) << c.what;
        EXPECT_EQ(out.networkDownload, c.download) << c.what;
    }
}

TEST(SensorPasses, NamesAndTextsWithoutANulEndAtTheirField)
{
    // A name that fills the whole buffer: the package mark at its very end counts.
    const std::string name = std::string(SensorSource::kNameBytes - 11, 'x') + "CPU Package" + "beyond";
    EXPECT_EQ(Read({{name, {Temp("Die", 66)}}}).cpuTemp, 66);

    SensorReadingRecord record;
    std::memset(record.Data() + 16, '%', 32);    // unit up to the group code
    std::memset(record.Data() + 328, 'L', 132);  // label up to the reading code
    record.SetGroup(kGroupGpu);
    record.SetCode(kCodeUploadRate);
    EXPECT_EQ(record.Unit(), std::string(32, '%'));
    EXPECT_EQ(record.Label(), std::string(132, 'L'));
}

}  // namespace
