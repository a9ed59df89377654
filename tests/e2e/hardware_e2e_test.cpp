// The hardware route against the real daemon. On Linux it reads this
// machine's own /proc and /sys.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
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

}  // namespace
