// The hardware route against the real daemon. On Linux it reads this
// machine's own /proc and /sys; under Wine, Tonvik.exe runs from a directory
// of its own beside an emulated sensor library (TONVIK_EMULATED_SENSORS_DIR
// holds one build per ordinal set) that serves the test's scripted readings.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// The parsed hardware reply; null while the daemon answers "empty".
Json::Value HardwareInfo(uint16_t port)
{
    const std::string body = Get(port, "/api/hardware/info").body;
    Json::Value info;
    Json::Reader reader;
    if (body == R"({"status": "empty"})" || !reader.parse(body, info)) {
        return Json::Value();
    }
    return info;
}

// Polls the route until the test holds or the time is up; the last reply.
Json::Value WaitForInfo(uint16_t port, int timeoutMs, const std::function<bool(const Json::Value&)>& test)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Json::Value info;
    do {
        info = HardwareInfo(port);
        if (!info.isNull() && test(info)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (Clock::now() < deadline);
    return info;
}

// Keeps every core busy while it lives.
class Spinners {
public:
    Spinners()
    {
        for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
            m_threads.emplace_back([this] {
                volatile uint64_t work = 0;
                while (!m_stop.load(std::memory_order_relaxed)) {
                    work = work + 1;
                }
            });
        }
    }
    ~Spinners()
    {
        m_stop = true;
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

size_t Count(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST(HardwareRoute, LinuxKernelSnapshotFollowsTheCpuLoad)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "the Windows build reads the sensor library: see HardwareSensorLibrary";
    }
    Daemon daemon;
    ASSERT_NE(daemon.Port(), 0) << "daemon did not listen";

    Json::Value info = WaitForInfo(daemon.Port(), 5000, [](const Json::Value& v) { return v["cpuUsageValid"].asBool(); });
    ASSERT_FALSE(info.isNull()) << "no snapshot within 5 s";
    EXPECT_EQ(info.getMemberNames(),
              (std::vector<std::string>{"cpuTemp", "cpuUsage", "cpuUsageValid", "gpuTemp", "gpuUsage", "gpuUsageValid",
                                        "network_download", "network_upload"}));
    EXPECT_TRUE(info["cpuUsageValid"].asBool());
    EXPECT_GE(info["network_download"].asDouble(), 0);
    EXPECT_GE(info["network_upload"].asDouble(), 0);

    {
        const Spinners busy;
        info = WaitForInfo(daemon.Port(), 10000, [](const Json::Value& v) { return v["cpuUsage"].asDouble() > 50; });
    }
    EXPECT_GT(info["cpuUsage"].asDouble(), 50) << info.toStyledString();
    EXPECT_LE(info["cpuUsage"].asDouble(), 100);

    daemon.Stop();
    EXPECT_EQ(Count(daemon.Stderr(), "tonvik: hardware sensors: "), 1u) << daemon.Stderr();
    EXPECT_EQ(daemon.StderrNoise(), "");
}

const char kSensorScript[] =
    "sensor|CPU [#0]: AMD Ryzen 7 7800X3D: Enhanced\n"
    "reading|1|11|-1|0|0|48|\xC2\xB0""C|Core 0 (CCD1)\n"
    "reading|1|11|-1|0|0|61.5|\xC2\xB0""C|CPU (Tctl/Tdie)\n"
    "reading|1|11|-1|0|0|52|\xC2\xB0""C|Core 1 (CCD1)\n"
    "reading|7|11|-1|0|0|90|%|CPU Utility\n"
    "reading|7|11|-1|0|0|37.3|%|Total CPU Usage\n"
    "sensor|GPU [#0]: AMD Radeon(TM) Graphics\n"
    "reading|1|13|1|0|0|44|\xC2\xB0""C|GPU Temperature\n"
    "reading|7|13|1|0|0|9|%|GPU D3D Usage\n"
    "sensor|GPU [#1]: NVIDIA GeForce RTX 4070\n"
    "reading|1|13|0|0|0|57|\xC2\xB0""C|GPU Temperature\n"
    "reading|1|13|0|0|0|71|\xC2\xB0""C|GPU Hot Spot Temperature\n"
    "reading|7|13|0|0|0|70|%|GPU D3D Usage\n"
    "reading|7|13|0|0|0|40|%|GPU Utilization\n"
    "reading|7|13|0|0|0|99|%|GPU Memory Controller Load\n"
    "sensor|Network: Intel(R) Ethernet Controller I225-V\n"
    "reading|8|16|-1|707|22|0|KB/s|Current UP rate\n"
    "reading|8|16|-1|707|21|0|KB/s|Current DL rate\n"
    "sensor|Network: Intel(R) Wi-Fi 6E AX211\n"
    "reading|8|16|-1|707|22|12.5|KB/s|Current UP rate\n"
    "reading|8|16|-1|707|21|300|KB/s|Current DL rate\n"
    "sensor|Drive: Samsung LAN Storage\n"
    "reading|8|16|-1|707|21|900|KB/s|Read Rate\n";

// Package temperature, the best-scored CPU load, the discrete GPU's own figures
// beside an integrated one, and the busy adapter of two. Wine has no "% Processor
// Utility" and no GPU engine counters, so the library's loads stand.
const char kExpectedJson[] =
    R"({"cpuTemp":61.5,"cpuUsage":37.299999237060547,"cpuUsageValid":true,"gpuTemp":57.0,"gpuUsage":40.0,)"
    R"("gpuUsageValid":true,"network_download":300.0,"network_upload":12.5})";

// Tonvik.exe copied into a directory of its own, with an emulated sensor
// library beside it under the outside library's name.
class HardwareSensorLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!DaemonRunsUnderWine()) {
            GTEST_SKIP() << "the Linux build reads the kernel's files: see LinuxKernelSnapshotFollowsTheCpuLoad";
        }
        const char* libraries = std::getenv("TONVIK_EMULATED_SENSORS_DIR");
        ASSERT_NE(libraries, nullptr) << "TONVIK_EMULATED_SENSORS_DIR names the emulated sensor libraries";
        m_libraries = libraries;
        char pattern[] = "/tmp/tonvik-sensors-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override
    {
        m_daemon.reset();
        if (!m_dir.empty()) {
            std::filesystem::remove_all(m_dir);
        }
    }

    // Starts the daemon beside the library of the ordinal set ("first" or
    // "second") with the script; `accept` limits the initialise flags.
    void Start(const std::string& ordinalSet, const std::string& accept, const std::string& script)
    {
        std::vector<std::string> command = DaemonCommand();
        const std::filesystem::path exe = m_dir / "Tonvik.exe";
        std::filesystem::copy_file(command.back(), exe);
        std::filesystem::copy_file(m_libraries / ("emulated_sensors_" + ordinalSet + ".dll"), m_dir / "HWiNFO32.dll");
        command.back() = exe.string();
        std::ofstream(m_dir / "script.txt") << (accept.empty() ? "" : "accept|" + accept + "\n") << script;
        // Wine programs take drive Z: for the Unix root.
        Daemon::Options options;
        options.env = {{"TONVIK_SENSOR_SCRIPT", "Z:" + (m_dir / "script.txt").string()},
                       {"TONVIK_SENSOR_LOG", "Z:" + Log().string()}};
        options.command = command;
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << "daemon did not listen";
    }
    std::filesystem::path Log() const { return m_dir / "calls.txt"; }
    std::string Calls() const
    {
        std::ifstream in(Log());
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path m_libraries;
    std::filesystem::path m_dir;
    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(HardwareSensorLibrary, ReadingsAreSelectedByNameAndLabel)
{
    // A sensor whose name fills the whole name buffer without a NUL comes first.
    Start("first", "", "sensor|" + std::string(300, 'N') + "\nreading|1|11|-1|0|0|99|C|CPU Package\n" +
                           kSensorScript);
    WaitForInfo(m_daemon->Port(), 10000, [](const Json::Value&) { return true; });
    EXPECT_EQ(Get(m_daemon->Port(), "/api/hardware/info").body, kExpectedJson);
    m_daemon->Stop();
    EXPECT_EQ(Calls(), "initialise 192\nshutdown\n");
}

TEST_F(HardwareSensorLibrary, SecondOrdinalSetThatOnlyInitialisesWithFlags64)
{
    Start("second", "64", kSensorScript);
    WaitForInfo(m_daemon->Port(), 10000, [](const Json::Value&) { return true; });
    EXPECT_EQ(Get(m_daemon->Port(), "/api/hardware/info").body, kExpectedJson);
    m_daemon->Stop();
    EXPECT_EQ(Calls(), "initialise 192\ninitialise 0\ninitialise 64\nshutdown\n");
}

TEST_F(HardwareSensorLibrary, ALibraryThatRefusesEveryFlagLeavesTheRouteEmpty)
{
    Start("first", "none", kSensorScript);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(Get(m_daemon->Port(), "/api/hardware/info").body, R"({"status": "empty"})");
    m_daemon->Stop();
    // Tried again every second, never shut down: it never opened.
    const std::string calls = Calls();
    EXPECT_GE(Count(calls, "initialise 192\ninitialise 0\ninitialise 64\n"), 2u) << calls;
    EXPECT_EQ(Count(calls, "shutdown"), 0u) << calls;
}

}  // namespace
