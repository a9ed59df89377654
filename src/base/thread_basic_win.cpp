// The worker on a _beginthreadex thread with a manual-reset exit event.
#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include "base/thread_basic.h"

namespace {

// The worker object whose loop runs on this thread. A stop from inside Run
// must not wait for its own thread; the thread id cannot tell, as the starter
// may still be storing it while the worker already runs.
thread_local const CThreadBasic* t_pCurrentWorker = nullptr;

}  // namespace

struct CThreadBasic::Worker {
    HANDLE hThread = nullptr;
    HANDLE hExitEvent = nullptr;

    static unsigned __stdcall Main(void* argument)
    {
        auto* self = static_cast<CThreadBasic*>(argument);
        t_pCurrentWorker = self;
        self->RunLoop();
        const unsigned exitCode = self->m_dwStartTick;
        SetEvent(self->m_worker->hExitEvent);
        return exitCode;
    }

    ~Worker()
    {
        if (hThread != nullptr) {
            CloseHandle(hThread);
        }
        if (hExitEvent != nullptr) {
            CloseHandle(hExitEvent);
        }
    }
};

void CThreadBasic::WorkerDeleter::operator()(Worker* worker) const
{
    delete worker;
}

bool CThreadBasic::LaunchWorker()
{
    m_worker.reset(new Worker);
    m_worker->hExitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const uintptr_t thread = _beginthreadex(nullptr, 0, &Worker::Main, this, 0, nullptr);
    if (thread == 0) {
        // No thread: nothing will ever signal the event, so do not wait for one.
        m_worker.reset();
        m_bRunning = 0;
        return false;
    }
    m_worker->hThread = reinterpret_cast<HANDLE>(thread);
    return true;
}

void CThreadBasic::JoinWorker()
{
    if (m_worker == nullptr || t_pCurrentWorker == this) {
        return;
    }
    // The event says the loop is left; the thread handle says the procedure
    // has returned too, after which nothing of this object is touched.
    WaitForSingleObject(m_worker->hExitEvent, INFINITE);
    WaitForSingleObject(m_worker->hThread, INFINITE);
    m_worker.reset();
}

void CThreadBasic::ReapWorker()
{
    if (m_worker == nullptr) {
        return;
    }
    if (t_pCurrentWorker != this) {
        WaitForSingleObject(m_worker->hThread, INFINITE);
    }
    m_worker.reset();
}
