// Periodic timers on standard threads: one thread per timer, ticking on a
// fixed schedule so a slow tick does not shift the ones after it.
#include "base/timer_platform.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/thread_start.h"

namespace timer_platform {
namespace {

struct PeriodicTimer {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

std::mutex g_timersMutex;
std::map<uint32_t, std::unique_ptr<PeriodicTimer>> g_timers;
uint32_t g_nextId = 1;

void TimerLoop(PeriodicTimer* timer, uint32_t id, uint32_t periodMs, Callback callback, void* user)
{
    auto due = std::chrono::steady_clock::now();
    std::unique_lock lock(timer->mutex);
    for (;;) {
        due += std::chrono::milliseconds(periodMs);
        if (timer->wake.wait_until(lock, due, [timer] { return timer->stop; })) {
            return;
        }
        lock.unlock();
        callback(id, user);
        lock.lock();
    }
}

}  // namespace

bool GetResolutionRange(uint32_t& minMs, uint32_t& maxMs)
{
    minMs = 1;
    maxMs = 1000;
    return true;
}

// Standard threads sleep with the kernel's own resolution; nothing to raise.
void BeginResolution(uint32_t) {}
void EndResolution(uint32_t) {}

uint32_t StartPeriodic(uint32_t periodMs, uint32_t /*resolutionMs*/, Callback callback, void* user)
{
    std::lock_guard lock(g_timersMutex);
    const uint32_t id = g_nextId++;
    PeriodicTimer& timer = *g_timers.emplace(id, std::make_unique<PeriodicTimer>()).first->second;
    timer.thread = TryStartThread("timer", &TimerLoop, &timer, id, periodMs, callback, user);
    if (!timer.thread.joinable()) {
        g_timers.erase(id);
        return 0;
    }
    return id;
}

void Kill(uint32_t timerId)
{
    std::unique_ptr<PeriodicTimer> timer;
    {
        std::lock_guard lock(g_timersMutex);
        auto it = g_timers.find(timerId);
        if (it == g_timers.end()) {
            return;
        }
        timer = std::move(it->second);
        g_timers.erase(it);
    }
    {
        std::lock_guard lock(timer->mutex);
        timer->stop = true;
    }
    timer->wake.notify_all();
    if (timer->thread.get_id() != std::this_thread::get_id()) {
        timer->thread.join();
    } else {
        timer->thread.detach();
    }
}

}  // namespace timer_platform
