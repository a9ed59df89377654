// The worker on a standard thread; joining it is the exit signal.
#include <exception>
#include <thread>

#include "base/thread_basic.h"

namespace {

// The worker object whose loop runs on this thread. A stop from inside Run
// must not join its own thread; the thread's id cannot tell, as the starter
// may still be storing it while the worker already runs.
thread_local const CThreadBasic* t_pCurrentWorker = nullptr;

}  // namespace

struct CThreadBasic::Worker {
    std::thread thread;
};

void CThreadBasic::WorkerDeleter::operator()(Worker* worker) const
{
    delete worker;
}

bool CThreadBasic::LaunchWorker()
{
    m_worker.reset(new Worker);
    try {
        m_worker->thread = std::thread([this] {
            t_pCurrentWorker = this;
            RunLoop();
        });
    } catch (const std::exception&) {
        // No thread (std::system_error from the system, or no memory for it).
        m_worker.reset();
        m_bRunning = 0;
        return false;
    }
    return true;
}

void CThreadBasic::JoinWorker()
{
    if (m_worker == nullptr || t_pCurrentWorker == this) {
        return;
    }
    m_worker->thread.join();
    m_worker.reset();
}

void CThreadBasic::ReapWorker()
{
    if (m_worker == nullptr) {
        return;
    }
    if (t_pCurrentWorker == this) {
        m_worker->thread.detach();
    } else {
        m_worker->thread.join();
    }
    m_worker.reset();
}
