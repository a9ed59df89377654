// The decisions behind the utilisation counters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hwmon/utilisation.h"

namespace {

TEST(Utilisation, DiscreteGpuNames)
{
    const std::vector<std::pair<const char*, bool>> names = {
        {"NVIDIA GeForce RTX 4070", true},
        {"Quadro by nVidia", true},
        {"Some RTX card", true},
        {"AMD Radeon RX 6600", true},
        {"AMD Radeon(TM) R9 290", true},
        {"Radeon VII", true},
        {"AMD Radeon Pro W6800", true},
        {"AMD FirePro W9100", true},
        {"ATI Radeon HD 5870", true},
        {"Intel(R) Arc(TM) A770 Graphics", true},
        {"Intel Arc B580", true},
        {"AMD Radeon(TM) Graphics", false},
        {"AMD Radeon RX6600", false},  // " rx " needs blanks on both sides
        {"Intel(R) UHD Graphics 770", false},
        {"Microsoft Basic Render Driver", false},
        {"", false},
    };
    for (const auto& [name, discrete] : names) {
        EXPECT_EQ(IsDiscreteGpuName(name), discrete) << name;
    }
}

TEST(Utilisation, CounterValuesThatCount)
{
    EXPECT_EQ(AcceptedPercent(0, 37.5), 37.5f);
    EXPECT_EQ(AcceptedPercent(1, 130), 100.0f);
    EXPECT_EQ(AcceptedPercent(0, 0), 0.0f);
    EXPECT_EQ(AcceptedPercent(2, 50), std::nullopt);
    EXPECT_EQ(AcceptedPercent(0, -1), std::nullopt);
    EXPECT_EQ(AcceptedPercent(0, std::nan("")), std::nullopt);
    EXPECT_EQ(AcceptedPercent(0, std::numeric_limits<double>::infinity()), std::nullopt);
}

TEST(Utilisation, EngineInstanceNames)
{
    const auto key = ParseEngineInstance(L"pid_1234_luid_0x00000000_0x0000D1A5_phys_0_eng_3_engtype_3D");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->adapter, 0xD1A5u);
    EXPECT_EQ(key->physical, 0u);
    EXPECT_EQ(key->engine, 3u);
    EXPECT_EQ(ParseEngineInstance(L"_luid_0xFFFFFFFF_0x1_phys_2_eng_10")->adapter, 0xFFFFFFFF00000001u);

    for (const wchar_t* bad : {L"pid_1_phys_0_eng_0", L"pid_1_luid_0x_0x1_phys_0_eng_0",
                               L"pid_1_luid_0x0_0x1_phys_0_eng_", L"pid_1_luid_0x0_0x1_phys_x_eng_0",
                               L"pid_1_luid_0x100000000_0x1_phys_0_eng_0", L"pid_1_luid_0x0_0x1_phys_0"}) {
        EXPECT_FALSE(ParseEngineInstance(bad)) << bad;
    }
}

TEST(Utilisation, AdapterLoadIsItsBusiestEngineSummedOverProcesses)
{
    GpuEngineLoads engines;
    engines.Add({7, 0, 0}, 30);
    engines.Add({7, 0, 0}, 50);   // same engine, another process: 80
    engines.Add({7, 0, 1}, 60);
    engines.Add({9, 0, 0}, 90);
    engines.Add({9, 1, 0}, 50);   // another physical adapter's engine: summed on its own
    engines.Add({9, 1, 0}, 90);   // 140 counts as 100
    const auto loads = engines.PerAdapter();
    EXPECT_EQ(loads.at(7), 80.0f);
    EXPECT_EQ(loads.at(9), 100.0f);
}

TEST(Utilisation, FirstDiscreteAndFirstOtherAdapterAreChosen)
{
    const std::vector<GpuAdapter> adapters = {
        {1, "Microsoft Basic Render Driver", true},
        {2, "Intel(R) UHD Graphics 770", false},
        {3, "NVIDIA GeForce RTX 3080", false},
        {4, "AMD Radeon RX 7900 XT", false},  // a second discrete one: ignored
        {5, "AMD Radeon(TM) Graphics", false},
    };
    HardwareSnapshot out;
    EXPECT_TRUE(ApplyGpuLoads(adapters, {{1, 99}, {2, 15}, {3, 64}, {4, 77}}, out));
    EXPECT_TRUE(out.hasDiscreteGpu && out.discreteGpuUsageValid);
    EXPECT_EQ(out.discreteGpuUsage, 64);
    EXPECT_TRUE(out.hasIntegratedGpu && out.integratedGpuUsageValid);
    EXPECT_EQ(out.integratedGpuUsage, 15);

    // The discrete GPU taken has no load: the later discrete adapter does not stand in.
    HardwareSnapshot noDiscrete;
    EXPECT_TRUE(ApplyGpuLoads(adapters, {{2, 15}, {4, 77}, {5, 5}}, noDiscrete));
    EXPECT_FALSE(noDiscrete.hasDiscreteGpu || noDiscrete.discreteGpuUsageValid);
    EXPECT_EQ(noDiscrete.integratedGpuUsage, 15);

    HardwareSnapshot none;
    EXPECT_FALSE(ApplyGpuLoads(adapters, {{1, 99}}, none));
}

}  // namespace
