#pragma once

#include <cstdint>
#include <thread>

#include "app/relaxed.h"

// The clock the periodic loop measures its periods with; tests substitute a
// simulated one so period rules can be checked without timing flakiness.
struct WorkerClock {
    uint64_t (*now)();
    void (*sleep)(uint32_t ms);
};

// A periodic worker thread: Run is called every m_nPeriodMs milliseconds,
// measured from the start of one call to the start of the next, or back to back
// when Run takes longer than the period.
class CThreadBasic {
public:
    CThreadBasic();
    explicit CThreadBasic(WorkerClock clock);
    CThreadBasic(const CThreadBasic&) = delete;
    CThreadBasic& operator=(const CThreadBasic&) = delete;

    // Does nothing while a worker is running.
    void StartWorker(uint32_t periodMs);

    // Clears the running flag and waits until the worker has left its loop.
    // The design waits at most 1000 ms; we keep waiting past that, because the
    // owner frees what Run touches right after this returns.
    void StopWorker();

    bool IsWorkerRunning() const { return m_bRunning != 0; }

    virtual void Run() = 0;

protected:
    // Not virtual by design; an owner must call StopWorker before its own
    // members go. The destructor only joins a worker nobody stopped.
    ~CThreadBasic();

    Relaxed<int32_t> m_bRunning{0};
    int32_t m_bLoop = 0;
    uint32_t m_nPeriodMs = 1;
    uint32_t m_dwStartTick = 0;

private:
    void ThreadProc();

    WorkerClock m_clock;
    std::thread m_thread;
};
