// The worker on a standard thread; joining it is the exit signal.
#include <thread>

#include "app/thread_basic.h"

struct CThreadBasic::Worker {
    std::thread thread;
};

void CThreadBasic::WorkerDeleter::operator()(Worker* worker) const
{
    delete worker;
}

void CThreadBasic::LaunchWorker()
{
    m_worker.reset(new Worker);
    m_worker->thread = std::thread(&CThreadBasic::RunLoop, this);
}

void CThreadBasic::JoinWorker()
{
    if (m_worker == nullptr || m_worker->thread.get_id() == std::this_thread::get_id()) {
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
    if (m_worker->thread.get_id() == std::this_thread::get_id()) {
        m_worker->thread.detach();
    } else {
        m_worker->thread.join();
    }
    m_worker.reset();
}
