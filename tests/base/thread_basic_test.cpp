#include "base/thread_basic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "base/timer.h"

namespace {

// A simulated clock: sleeping advances it, so periods are exact and instant.
std::atomic<uint64_t> g_now{1000};
std::atomic<uint32_t> g_sleeps{0};

uint64_t FakeNow()
{
    return g_now.load();
}

void FakeSleep(uint32_t ms)
{
    g_sleeps.fetch_add(1);
    g_now.fetch_add(ms);
    std::this_thread::yield();
}

class TimedWorker : public CThreadBasic {
public:
    explicit TimedWorker(int64_t runMs) : CThreadBasic(WorkerClock{&FakeNow, &FakeSleep}), m_runMs(runMs) {}
    ~TimedWorker() { StopWorker(); }

    void Run() override
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_starts.size() < 6) {
                m_starts.push_back(g_now.load());
            }
        }
        g_now.fetch_add(static_cast<uint64_t>(m_runMs));
    }

    std::vector<uint64_t> StartsAfterSix()
    {
        for (int i = 0; i < 5000; ++i) {
            {
                std::lock_guard lock(m_mutex);
                if (m_starts.size() == 6) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        StopWorker();
        std::lock_guard lock(m_mutex);
        return m_starts;
    }

private:
    int64_t m_runMs;
    std::mutex m_mutex;
    std::vector<uint64_t> m_starts;
};

TEST(CThreadBasic, ShortRunsStartOnePeriodApart)
{
    TimedWorker worker(4);
    worker.StartWorker(16);
    const auto starts = worker.StartsAfterSix();
    ASSERT_EQ(starts.size(), 6u);
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i] - starts[i - 1], 16u);
    }
}

TEST(CThreadBasic, LongRunsFollowBackToBack)
{
    TimedWorker worker(40);
    worker.StartWorker(16);
    const auto starts = worker.StartsAfterSix();
    ASSERT_EQ(starts.size(), 6u);
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i] - starts[i - 1], 40u);
    }
}

TEST(CThreadBasic, ClockSteppingBackMeansNoSleep)
{
    TimedWorker worker(-5);
    const uint32_t sleepsBefore = g_sleeps.load();
    worker.StartWorker(16);
    worker.StartsAfterSix();
    EXPECT_EQ(g_sleeps.load(), sleepsBefore);
}

class CountingWorker : public CThreadBasic {
public:
    ~CountingWorker() { StopWorker(); }
    void Run() override { runs.fetch_add(1); }
    std::atomic<int> runs{0};
};

TEST(CThreadBasic, StartWhileRunningAndStopTwice)
{
    CountingWorker worker;
    worker.StartWorker(1);
    worker.StartWorker(1);  // already running: nothing
    EXPECT_TRUE(worker.IsWorkerRunning());
    while (worker.runs.load() < 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.StopWorker();
    const int runs = worker.runs.load();
    worker.StopWorker();
    EXPECT_FALSE(worker.IsWorkerRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(worker.runs.load(), runs);  // stopped means no further Run

    worker.StartWorker(1);  // a stopped worker can start again
    while (worker.runs.load() == runs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class TickCounter : public CTimer {
public:
    ~TickCounter() { StopAllTimers(); }
    void OnTimerTick(uint32_t id) override
    {
        lastId.store(id);
        ticks.fetch_add(1);
    }
    void Stop() { StopAllTimers(); }
    std::atomic<int> ticks{0};
    std::atomic<uint32_t> lastId{0};
};

TEST(CTimer, FiresEvery30MsWhateverTheDelayAndStops)
{
    TickCounter counter;
    const uint32_t id = counter.StartPeriodicTimer(5000);
    ASSERT_NE(id, 0u);
    const auto start = std::chrono::steady_clock::now();
    // Ten ticks of a 5 s timer would take close to a minute.
    while (counter.ticks.load() < 10 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(counter.ticks.load(), 10);
    EXPECT_EQ(counter.lastId.load(), id);
    counter.Stop();
    const int ticks = counter.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(counter.ticks.load(), ticks);
}

}  // namespace
