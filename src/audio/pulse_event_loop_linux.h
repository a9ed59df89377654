#pragma once

#include <poll.h>
#include <pulse/mainloop-api.h>

#include <atomic>
#include <memory>
#include <vector>

// The PulseAudio client library's event loop, served by one thread at a time.
//
// The library's own loop writes to a wake-up pipe whenever an event changes,
// and reads it back on the next pass, even when no thread waits in poll:
// about four pipe writes and two reads for every sound packet. This loop
// writes its wake-up only while a thread blocks in poll, so a thread that
// runs it without waiting (the analysis, once a frame) pays for the socket
// and nothing else.
//
// Times are the library's wall-clock timevals, taken as a delay from now.
class PulseEventLoop {
public:
    // The poll the loop calls, as pa_mainloop_set_poll_func takes it.
    using PollFunction = int (*)(struct pollfd* fds, unsigned long count, int timeoutMs, void* userdata);

    PulseEventLoop(PollFunction poll, void* pollData);
    // Frees what is left, calling destroy callbacks, as the library's loop does.
    ~PulseEventLoop();
    PulseEventLoop(const PulseEventLoop&) = delete;
    PulseEventLoop& operator=(const PulseEventLoop&) = delete;

    // False when the wake-up could not be made: the loop cannot be used.
    bool Ready() const { return m_wakeFd >= 0; }
    pa_mainloop_api* Api() { return &m_api; }

    // Runs deferred events, timers that are due and ready descriptors once.
    // Blocking, waits until one of them or a Wakeup. Returns how many ran,
    // or a negative number when poll failed or quit was called.
    int Iterate(bool block);
    // Ends a blocking Iterate's wait; from any thread.
    void Wakeup();

private:
    // The library's calls, one set per kind of event.
    static pa_io_event* IoNew(pa_mainloop_api* api, int fd, pa_io_event_flags_t events, pa_io_event_cb_t callback,
                              void* userdata);
    static void IoEnable(pa_io_event* event, pa_io_event_flags_t events);
    static pa_time_event* TimeNew(pa_mainloop_api* api, const struct timeval* when, pa_time_event_cb_t callback,
                                  void* userdata);
    static void TimeRestart(pa_time_event* event, const struct timeval* when);
    static pa_defer_event* DeferNew(pa_mainloop_api* api, pa_defer_event_cb_t callback, void* userdata);
    static void DeferEnable(pa_defer_event* event, int enable);
    // Freeing only marks an event: CollectFreed deletes it after the pass.
    template <typename Event>
    static void Free(Event* event);
    template <typename Event, typename Callback>
    static void SetDestroy(Event* event, Callback callback);
    static void Quit(pa_mainloop_api* api, int retval);

    template <typename Event>
    Event* Add(std::vector<std::unique_ptr<Event>>& events, Event event);
    int PollTimeoutMs(bool block) const;
    int DispatchDeferred();
    int DispatchTimers();
    int DispatchReady();
    // Deletes the freed events; callbacks never see an event vanish mid-pass.
    void CollectFreed();

    pa_mainloop_api m_api{};
    PollFunction m_poll;
    void* m_pollData;
    int m_wakeFd = -1;
    std::atomic<bool> m_polling{false};
    std::atomic<bool> m_wakeRequested{false};
    bool m_quit = false;
    bool m_freedAny = false;
    std::vector<std::unique_ptr<pa_io_event>> m_io;
    std::vector<std::unique_ptr<pa_time_event>> m_timers;
    std::vector<std::unique_ptr<pa_defer_event>> m_deferred;
    std::vector<struct pollfd> m_pollFds;
    std::vector<pa_io_event*> m_polled;  // the event of each m_pollFds entry
};
