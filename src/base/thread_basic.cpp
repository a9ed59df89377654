#include "base/thread_basic.h"

#include "base/clock.h"
#include "base/thread_name.h"

CThreadBasic::CThreadBasic() : CThreadBasic(WorkerClock{&WallClockMs, &SleepMs}) {}

CThreadBasic::CThreadBasic(WorkerClock clock) : m_clock(clock) {}

CThreadBasic::~CThreadBasic()
{
    StopWorker();
    ReapWorker();
}

bool CThreadBasic::StartWorker(uint32_t periodMs, const char* threadName)
{
    if (m_bRunning != 0) {
        return true;
    }
    ReapWorker();
    m_nPeriodMs = periodMs;
    m_pszThreadName = threadName;
    m_bLoop = 1;
    m_dwStartTick = static_cast<uint32_t>(TickCount64());
    m_bRunning = 1;
    return LaunchWorker();
}

void CThreadBasic::StopWorker()
{
    // A worker that cleared the flag itself may still be leaving its loop, so
    // the wait does not depend on the flag.
    m_bRunning = 0;
    JoinWorker();
}

void CThreadBasic::RunLoop()
{
    if (m_pszThreadName != nullptr) {
        NameCurrentThread(m_pszThreadName);
    }
    if (m_bLoop == 0) {
        Run();
        return;
    }
    while (m_bRunning != 0) {
        const uint64_t t0 = m_clock.now();
        Run();
        const uint64_t elapsed = m_clock.now() - t0;  // wraps to a huge value if the clock steps back
        if (elapsed < m_nPeriodMs) {
            m_clock.sleep(static_cast<uint32_t>(m_nPeriodMs - elapsed));
        }
    }
}
