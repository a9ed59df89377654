// Periodic timers on the multimedia timer service.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <map>
#include <memory>
#include <mutex>

#include "base/timer_platform.h"

namespace timer_platform {
namespace {

// The multimedia timer carries one word of user data, so the callback and its
// argument travel in a record that lives until the timer is killed.
struct Target {
    Callback callback;
    void* user;
};

std::mutex g_targetsMutex;
std::map<uint32_t, std::unique_ptr<Target>> g_targets;

void CALLBACK TimerProc(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    const auto* target = reinterpret_cast<const Target*>(user);
    target->callback(timerId, target->user);
}

}  // namespace

bool GetResolutionRange(uint32_t& minMs, uint32_t& maxMs)
{
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != MMSYSERR_NOERROR) {
        return false;
    }
    minMs = caps.wPeriodMin;
    maxMs = caps.wPeriodMax;
    return true;
}

void BeginResolution(uint32_t ms)
{
    timeBeginPeriod(ms);
}

void EndResolution(uint32_t ms)
{
    timeEndPeriod(ms);
}

uint32_t StartPeriodic(uint32_t periodMs, uint32_t resolutionMs, Callback callback, void* user)
{
    auto target = std::make_unique<Target>(Target{callback, user});
    std::lock_guard lock(g_targetsMutex);
    // TIME_KILL_SYNCHRONOUS: once timeKillEvent returns, no tick of the timer
    // runs any more, so its owner may be destroyed right after.
    const MMRESULT id = timeSetEvent(periodMs, resolutionMs, &TimerProc, reinterpret_cast<DWORD_PTR>(target.get()),
                                     TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (id != 0) {
        g_targets.emplace(id, std::move(target));
    }
    return id;
}

void Kill(uint32_t timerId)
{
    timeKillEvent(timerId);
    std::lock_guard lock(g_targetsMutex);
    g_targets.erase(timerId);
}

}  // namespace timer_platform
