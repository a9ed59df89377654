#pragma once

#include <cstdint>
#include <memory>

#include "base/relaxed.h"

// The clock the periodic loop measures its periods with; tests substitute a
// simulated one so period rules can be checked without timing flakiness.
struct WorkerClock {
    uint64_t (*now)();
    void (*sleep)(uint32_t ms);
};

// A periodic worker thread: Run is called every m_nPeriodMs milliseconds,
// measured from the start of one call to the start of the next, or back to back
// when Run takes longer than the period.
//
// The loop is portable (thread_basic.cpp); starting the thread and waiting for
// it to end are the platform's (thread_basic_std.cpp, thread_basic_win.cpp).
class CThreadBasic {
public:
    CThreadBasic();
    explicit CThreadBasic(WorkerClock clock);
    CThreadBasic(const CThreadBasic&) = delete;
    CThreadBasic& operator=(const CThreadBasic&) = delete;

    // Does nothing while a worker is running. False when the system could not
    // create the thread: nothing runs then, and the caller goes on without it.
    // A thread name, when given, names the worker (see NameCurrentThread).
    bool StartWorker(uint32_t periodMs, const char* threadName = nullptr);

    // Clears the running flag and waits until the worker has left its loop.
    // The design waits at most 1000 ms; we keep waiting past that, because the
    // owner frees what Run touches right after this returns. Called on the
    // worker itself, it only clears the flag.
    void StopWorker();

    bool IsWorkerRunning() const { return m_bRunning != 0; }

    virtual void Run() = 0;

protected:
    // Not virtual by design; an owner must call StopWorker before its own
    // members go. The destructor only stops a worker nobody stopped.
    ~CThreadBasic();

    Relaxed<int32_t> m_bRunning{0};
    int32_t m_bLoop = 0;
    uint32_t m_nPeriodMs = 1;
    uint32_t m_dwStartTick = 0;
    const char* m_pszThreadName = nullptr;

private:
    // The platform's thread and its exit signal.
    struct Worker;
    struct WorkerDeleter {
        void operator()(Worker* worker) const;
    };

    // Runs on the worker: Run once, or periodically while m_bRunning.
    void RunLoop();
    // Starts the platform thread on RunLoop; called with the fields set. On
    // failure it leaves no worker and the running flag cleared.
    bool LaunchWorker();
    // Waits for the platform thread to end and releases it.
    void JoinWorker();
    // Releases a thread that has already ended (after a stop from inside).
    void ReapWorker();

    WorkerClock m_clock;
    std::unique_ptr<Worker, WorkerDeleter> m_worker;
};
