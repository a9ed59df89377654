#include "audio/pulse_event_loop_linux.h"

#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

using Clock = std::chrono::steady_clock;

struct pa_io_event {
    PulseEventLoop* loop;
    int fd;
    pa_io_event_flags_t events;
    pa_io_event_cb_t callback;
    void* userdata;
    pa_io_event_destroy_cb_t destroy = nullptr;
    bool freed = false;
};

struct pa_time_event {
    PulseEventLoop* loop;
    pa_time_event_cb_t callback;
    void* userdata;
    pa_time_event_destroy_cb_t destroy = nullptr;
    bool freed = false;
    bool enabled = false;
    Clock::time_point due{};
    struct timeval when {};  // as asked, handed back to the callback
};

struct pa_defer_event {
    PulseEventLoop* loop;
    pa_defer_event_cb_t callback;
    void* userdata;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    bool freed = false;
    bool enabled = true;
};

namespace {

short ToPoll(pa_io_event_flags_t events)
{
    return static_cast<short>(((events & PA_IO_EVENT_INPUT) != 0 ? POLLIN : 0) |
                              ((events & PA_IO_EVENT_OUTPUT) != 0 ? POLLOUT : 0) |
                              ((events & PA_IO_EVENT_HANGUP) != 0 ? POLLHUP : 0) |
                              ((events & PA_IO_EVENT_ERROR) != 0 ? POLLERR : 0));
}

pa_io_event_flags_t FromPoll(short revents)
{
    return static_cast<pa_io_event_flags_t>(((revents & POLLIN) != 0 ? PA_IO_EVENT_INPUT : 0) |
                                            ((revents & POLLOUT) != 0 ? PA_IO_EVENT_OUTPUT : 0) |
                                            ((revents & POLLHUP) != 0 ? PA_IO_EVENT_HANGUP : 0) |
                                            ((revents & POLLERR) != 0 ? PA_IO_EVENT_ERROR : 0));
}

void Arm(pa_time_event& event, const struct timeval* when)
{
    event.enabled = when != nullptr;
    if (when == nullptr) {
        return;
    }
    event.when = *when;
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const auto delay = std::chrono::seconds(when->tv_sec - now.tv_sec) +
                       std::chrono::microseconds(when->tv_usec - now.tv_usec);
    event.due = Clock::now() + delay;
}

// The destroy callbacks run once the events are out of the list, so one that
// adds or frees an event cannot disturb the walk.
template <typename Event>
void DeleteFreed(std::vector<std::unique_ptr<Event>>& events, pa_mainloop_api* api)
{
    std::vector<std::unique_ptr<Event>> gone;
    for (auto& event : events) {
        if (event->freed) {
            gone.push_back(std::move(event));
        }
    }
    std::erase(events, nullptr);
    for (const auto& event : gone) {
        if (event->destroy != nullptr) {
            event->destroy(api, event.get(), event->userdata);
        }
    }
}

template <typename Event>
void DestroyAll(std::vector<std::unique_ptr<Event>>& events, pa_mainloop_api* api)
{
    for (auto& event : events) {
        event->freed = true;
    }
    DeleteFreed(events, api);
}

}  // namespace

template <typename Event>
Event* PulseEventLoop::Add(std::vector<std::unique_ptr<Event>>& events, Event event)
{
    events.push_back(std::make_unique<Event>(std::move(event)));
    Wakeup();
    return events.back().get();
}

template <typename Event>
void PulseEventLoop::Free(Event* event)
{
    event->freed = true;
    event->loop->m_freedAny = true;
    event->loop->Wakeup();
}

template <typename Event, typename Callback>
void PulseEventLoop::SetDestroy(Event* event, Callback callback)
{
    event->destroy = callback;
}

PulseEventLoop::PulseEventLoop(PollFunction poll, void* pollData)
    : m_poll(poll), m_pollData(pollData), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_api.userdata = this;
    m_api.io_new = &IoNew;
    m_api.io_enable = &IoEnable;
    m_api.io_free = &Free<pa_io_event>;
    m_api.io_set_destroy = &SetDestroy<pa_io_event, pa_io_event_destroy_cb_t>;
    m_api.time_new = &TimeNew;
    m_api.time_restart = &TimeRestart;
    m_api.time_free = &Free<pa_time_event>;
    m_api.time_set_destroy = &SetDestroy<pa_time_event, pa_time_event_destroy_cb_t>;
    m_api.defer_new = &DeferNew;
    m_api.defer_enable = &DeferEnable;
    m_api.defer_free = &Free<pa_defer_event>;
    m_api.defer_set_destroy = &SetDestroy<pa_defer_event, pa_defer_event_destroy_cb_t>;
    m_api.quit = &Quit;
}

PulseEventLoop::~PulseEventLoop()
{
    DestroyAll(m_io, &m_api);
    DestroyAll(m_timers, &m_api);
    DestroyAll(m_deferred, &m_api);
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

int PulseEventLoop::Iterate(bool block)
{
    if (m_quit) {
        return -2;
    }
    m_pollFds.clear();
    m_polled.clear();
    for (const auto& event : m_io) {
        if (!event->freed && event->events != PA_IO_EVENT_NULL) {
            m_pollFds.push_back({event->fd, ToPoll(event->events), 0});
            m_polled.push_back(event.get());
        }
    }
    int timeoutMs = PollTimeoutMs(block);
    const bool waits = timeoutMs != 0;
    if (waits) {
        m_pollFds.push_back({m_wakeFd, POLLIN, 0});
        // A Wakeup either sees the flag and writes, or was asked before it and is seen here.
        m_polling = true;
        if (m_wakeRequested.exchange(false)) {
            timeoutMs = 0;
        }
    }
    int ready = m_poll(m_pollFds.data(), m_pollFds.size(), timeoutMs, m_pollData);
    if (waits) {
        m_polling = false;
        uint64_t count = 0;
        if ((m_pollFds.back().revents & POLLIN) != 0 && read(m_wakeFd, &count, sizeof count) < 0) {
            count = 0;
        }
    }
    if (ready < 0) {
        if (errno != EINTR) {
            return -1;
        }
        ready = 0;
    }
    int dispatched = DispatchDeferred() + DispatchTimers();
    if (ready > 0) {
        dispatched += DispatchReady();
    }
    CollectFreed();
    return m_quit ? -2 : dispatched;
}

void PulseEventLoop::Wakeup()
{
    m_wakeRequested = true;
    if (m_polling) {
        const uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) {
            // Full only when a wake-up is already pending, which serves as well.
            return;
        }
    }
}

int PulseEventLoop::PollTimeoutMs(bool block) const
{
    if (!block) {
        return 0;
    }
    if (std::any_of(m_deferred.begin(), m_deferred.end(), [](const auto& e) { return !e->freed && e->enabled; })) {
        return 0;
    }
    int timeoutMs = -1;
    const auto now = Clock::now();
    for (const auto& timer : m_timers) {
        if (timer->freed || !timer->enabled) {
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(timer->due - now).count();
        const int ms = static_cast<int>(std::clamp<decltype(left)>(left, 0, 3600 * 1000));
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }
    return timeoutMs;
}

// By index: a callback may add events, which the vectors may move.
int PulseEventLoop::DispatchDeferred()
{
    int dispatched = 0;
    for (size_t i = 0; i < m_deferred.size(); ++i) {
        pa_defer_event* event = m_deferred[i].get();
        if (!event->freed && event->enabled) {
            event->callback(&m_api, event, event->userdata);
            ++dispatched;
        }
    }
    return dispatched;
}

// A timer that fires is disarmed first; its callback may arm it again.
int PulseEventLoop::DispatchTimers()
{
    int dispatched = 0;
    const auto now = Clock::now();
    for (size_t i = 0; i < m_timers.size(); ++i) {
        pa_time_event* timer = m_timers[i].get();
        if (!timer->freed && timer->enabled && timer->due <= now) {
            timer->enabled = false;
            const struct timeval when = timer->when;
            timer->callback(&m_api, timer, &when, timer->userdata);
            ++dispatched;
        }
    }
    return dispatched;
}

int PulseEventLoop::DispatchReady()
{
    int dispatched = 0;
    for (size_t i = 0; i < m_polled.size(); ++i) {
        pa_io_event* event = m_polled[i];
        if (!event->freed && m_pollFds[i].revents != 0) {
            event->callback(&m_api, event, event->fd, FromPoll(m_pollFds[i].revents), event->userdata);
            ++dispatched;
        }
    }
    return dispatched;
}

void PulseEventLoop::CollectFreed()
{
    if (!m_freedAny) {
        return;
    }
    m_freedAny = false;
    DeleteFreed(m_io, &m_api);
    DeleteFreed(m_timers, &m_api);
    DeleteFreed(m_deferred, &m_api);
}

pa_io_event* PulseEventLoop::IoNew(pa_mainloop_api* api, int fd, pa_io_event_flags_t events,
                                   pa_io_event_cb_t callback, void* userdata)
{
    auto* loop = static_cast<PulseEventLoop*>(api->userdata);
    return loop->Add(loop->m_io, pa_io_event{loop, fd, events, callback, userdata});
}

void PulseEventLoop::IoEnable(pa_io_event* event, pa_io_event_flags_t events)
{
    if (event->events != events) {
        event->events = events;
        event->loop->Wakeup();
    }
}

pa_time_event* PulseEventLoop::TimeNew(pa_mainloop_api* api, const struct timeval* when,
                                       pa_time_event_cb_t callback, void* userdata)
{
    auto* loop = static_cast<PulseEventLoop*>(api->userdata);
    pa_time_event* timer = loop->Add(loop->m_timers, pa_time_event{loop, callback, userdata});
    Arm(*timer, when);
    return timer;
}

void PulseEventLoop::TimeRestart(pa_time_event* event, const struct timeval* when)
{
    Arm(*event, when);
    event->loop->Wakeup();
}

pa_defer_event* PulseEventLoop::DeferNew(pa_mainloop_api* api, pa_defer_event_cb_t callback, void* userdata)
{
    auto* loop = static_cast<PulseEventLoop*>(api->userdata);
    return loop->Add(loop->m_deferred, pa_defer_event{loop, callback, userdata});
}

void PulseEventLoop::DeferEnable(pa_defer_event* event, int enable)
{
    event->enabled = enable != 0;
    if (event->enabled) {
        event->loop->Wakeup();
    }
}

void PulseEventLoop::Quit(pa_mainloop_api* api, int)
{
    auto* loop = static_cast<PulseEventLoop*>(api->userdata);
    loop->m_quit = true;
    loop->Wakeup();
}
