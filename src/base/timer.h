#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// A periodic timer client: every timer it starts fires OnTimerTick every 30 ms
// on a timer thread of the platform, whatever delay the caller asks for.
class CTimer {
public:
    static constexpr uint32_t kPeriodMs = 30;

    CTimer() = default;
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // Returns the new timer's id, 0 when the platform refused one.
    uint32_t StartPeriodicTimer(uint32_t delayMs);

    virtual void OnTimerTick(uint32_t timerId) = 0;

protected:
    // Kills every timer of this object and gives back the raised resolution.
    // A derived class calls it in its own destructor, since a tick must not
    // reach an object that is half destroyed; the base destructor repeats it.
    void StopAllTimers();
    // Kills one timer of this object; returns once no tick of it runs any more.
    void StopTimer(uint32_t timerId);
    ~CTimer();

private:
    static void Callback(uint32_t timerId, void* user);

    std::mutex m_idsMutex;
    std::vector<uint32_t> m_timerIds;
    bool m_bHoldsResolution = false;
};
