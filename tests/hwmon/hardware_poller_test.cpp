// The polling loop's schedule and merge rules, on a scripted clock, through
// the real monitor over scripted sources.
#include <gtest/gtest.h>

#include <deque>

#include "hwmon/hardware_poller.h"
#include "scripted_source.h"

namespace {

class CountingCounters : public ScriptedCounters {
public:
    bool ReadCpu(HardwareSnapshot& out) override
    {
        ++reads;
        return ScriptedCounters::ReadCpu(out);
    }
    int reads = 0;
};

class Polling : public ::testing::Test {
protected:
    Polling()
        : monitor([this] {
              auto sensors = std::make_unique<ScriptedSource>(std::vector<ScriptedSensor>{
                  {"CPU [#0]", {Temp("CPU Package", 55), Load("Total CPU Usage", 10)}}});
              auto counting = std::make_unique<CountingCounters>();
              source = sensors.get();
              counters = counting.get();
              return HardwareSources{std::move(sensors), std::move(counting), "scripted"};
          })
    {
    }

    // A pass whose first clock reading is `at` and whose merge reads `mergeAt`.
    void PassAt(uint64_t at, std::optional<uint64_t> mergeAt = std::nullopt)
    {
        ticks = {at, mergeAt.value_or(at)};
        poller.Pass();
    }
    uint64_t Now()
    {
        const uint64_t tick = ticks.front();
        if (ticks.size() > 1) {
            ticks.pop_front();
        }
        return tick;
    }
    HardwareSnapshot Snapshot()
    {
        std::lock_guard lock(mutex);
        return snapshot;
    }

    ScriptedSource* source = nullptr;
    CountingCounters* counters = nullptr;
    HardwareMonitor monitor;
    std::deque<uint64_t> ticks{1};
    std::mutex mutex;
    HardwareSnapshot snapshot;
    bool valid = false;
    HardwarePoller poller{monitor, {mutex, snapshot, valid}, [this] { return Now(); }};
};

TEST_F(Polling, AFailedSensorReadWaitsFiveSecondsForTheNext)
{
    PassAt(1000);  // the monitor is not open: nothing is read
    EXPECT_FALSE(valid);
    ASSERT_TRUE(monitor.Open());
    PassAt(2000);
    EXPECT_FALSE(valid);
    PassAt(6000);
    EXPECT_TRUE(valid);
    EXPECT_EQ(Snapshot().cpuTemp, 55);
}

TEST_F(Polling, SensorsAtMostEveryFiveSecondsCountersAtMostOnceASecond)
{
    ASSERT_TRUE(monitor.Open());
    EXPECT_EQ(poller.NextDueTick(), 0u);
    // nextDue: when the thread wakes for the next pass (counters or sensors, the sooner).
    struct Step {
        uint64_t at;
        int sensorReads;
        int counterReads;
        uint64_t nextDue;
    };
    for (const Step& step : std::vector<Step>{{1000, 1, 1, 2000},
                                              {1050, 1, 1, 2000},
                                              {1999, 1, 1, 2000},
                                              {2000, 1, 2, 3000},
                                              {2999, 1, 2, 3000},
                                              {3500, 1, 3, 4500},
                                              {5999, 1, 4, 6000},
                                              {6000, 2, 5, 7000},
                                              {6001, 2, 5, 7000},
                                              {11000, 3, 6, 12000}}) {
        PassAt(step.at);
        EXPECT_EQ(source->refreshes, step.sensorReads) << step.at;
        EXPECT_EQ(counters->reads, step.counterReads) << step.at;
        EXPECT_EQ(poller.NextDueTick(), step.nextDue) << step.at;
    }
}

TEST_F(Polling, CounterLoadsOverrideTheSensorsWhileAtMostFiveSecondsOld)
{
    ASSERT_TRUE(monitor.Open());
    counters->cpu = 40;
    counters->discreteGpu = 70;
    PassAt(1000);
    EXPECT_EQ(Snapshot().cpuUsage, 40);
    EXPECT_TRUE(Snapshot().hasDiscreteGpu && Snapshot().discreteGpuUsageValid);
    EXPECT_EQ(Snapshot().cpuTemp, 55);

    // The counters stop: the overridden fields keep their values without a merge...
    counters->cpu.reset();
    counters->discreteGpu.reset();
    PassAt(2000);
    EXPECT_EQ(Snapshot().cpuUsage, 40);

    // ...and a sensor read that merges 5000 ms after the counter result still applies it.
    PassAt(6000, 6000);
    EXPECT_EQ(Snapshot().cpuUsage, 40);
    EXPECT_EQ(Snapshot().discreteGpuUsage, 70);
    // One merged 5001 ms after it does not: the sensors' own figures stand.
    PassAt(11000, 6001);
    EXPECT_EQ(Snapshot().cpuUsage, 10);
    EXPECT_FALSE(Snapshot().hasDiscreteGpu);
    EXPECT_EQ(source->refreshes, 3);
}

TEST_F(Polling, OnlyTheCountersWork)
{
    ASSERT_TRUE(monitor.Open());
    source->sensors.clear();
    counters->cpu = 12.5f;
    counters->integratedGpu = 3;
    PassAt(1000);
    ASSERT_TRUE(valid);
    EXPECT_EQ(HardwareSnapshotJson(Snapshot()),
              R"({"cpuTemp":0.0,"cpuUsage":12.5,"cpuUsageValid":true,"gpuTemp":0.0,"gpuUsage":3.0,)"
              R"("gpuUsageValid":true,"network_download":0.0,"network_upload":0.0})");
}

TEST_F(Polling, AClosedMonitorReadsNothing)
{
    ASSERT_TRUE(monitor.Open());
    monitor.Close();
    HardwareSnapshot out;
    out.cpuTemp = 1;
    EXPECT_FALSE(monitor.ReadSensors(out));
    EXPECT_FALSE(monitor.ReadCounters(out));
    PassAt(1000);
    EXPECT_FALSE(valid);
}

TEST(HardwareJson, NumbersAreWrittenTheJsonCppWay)
{
    HardwareSnapshot s;
    s.cpuTemp = 45;
    s.cpuUsage = 37.3f;
    s.cpuUsageValid = true;
    s.integratedGpuTemp = std::numeric_limits<float>::quiet_NaN();
    s.integratedGpuUsage = std::numeric_limits<float>::infinity();
    s.networkUpload = -std::numeric_limits<float>::infinity();
    s.networkDownload = 1.5e9f;
    EXPECT_EQ(HardwareSnapshotJson(s),
              R"({"cpuTemp":45.0,"cpuUsage":37.299999237060547,"cpuUsageValid":true,"gpuTemp":null,)"
              R"("gpuUsage":1e+9999,"gpuUsageValid":false,"network_download":1500000000.0,)"
              R"("network_upload":-1e+9999})");
}

}  // namespace
