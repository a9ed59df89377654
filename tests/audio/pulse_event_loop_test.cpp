#include "audio/pulse_event_loop_linux.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

int PlainPoll(struct pollfd* fds, unsigned long count, int timeoutMs, void*)
{
    return poll(fds, count, timeoutMs);
}

struct timeval FromNow(long ms)
{
    struct timeval when {};
    gettimeofday(&when, nullptr);
    when.tv_usec += ms * 1000;
    when.tv_sec += when.tv_usec / 1000000;
    when.tv_usec %= 1000000;
    return when;
}

// What the callbacks saw, in order.
std::vector<std::string> g_seen;

void Record(const char* what)
{
    g_seen.emplace_back(what);
}

class PulseEventLoopTest : public ::testing::Test {
protected:
    void SetUp() override { g_seen.clear(); }

    PulseEventLoop m_loop{&PlainPoll, nullptr};
    pa_mainloop_api* m_api = m_loop.Api();
};

}  // namespace

// Timers fire in due order, once; a disarmed one and one freed by an earlier
// callback never fire, and every freed event's destroy callback runs once.
TEST_F(PulseEventLoopTest, TimersFireOnceInOrderAndFreedOnesNever)
{
    const auto fired = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* name) {
        Record(static_cast<const char*>(name));
    };
    const auto destroyed = [](pa_mainloop_api*, pa_time_event*, void*) { Record("destroyed"); };
    const struct timeval soon = FromNow(20);
    const struct timeval later = FromNow(60);
    pa_time_event* second = m_api->time_new(m_api, &later, fired, const_cast<char*>("second"));
    pa_time_event* disarmed = m_api->time_new(m_api, &soon, fired, const_cast<char*>("disarmed"));
    m_api->time_restart(disarmed, nullptr);
    pa_time_event* doomed = m_api->time_new(m_api, &later, fired, const_cast<char*>("doomed"));
    m_api->time_set_destroy(doomed, destroyed);
    struct Freer {
        pa_mainloop_api* api;
        pa_time_event* victim;
    } freer{m_api, doomed};
    m_api->time_new(m_api, &soon, [](pa_mainloop_api*, pa_time_event* self, const struct timeval*, void* data) {
        auto* f = static_cast<Freer*>(data);
        Record("first");
        f->api->time_free(f->victim);
        f->api->time_free(self);
    }, &freer);

    while (g_seen.size() < 3) {
        ASSERT_GE(m_loop.Iterate(true), 0);
    }
    EXPECT_EQ(g_seen, (std::vector<std::string>{"first", "destroyed", "second"}));
    EXPECT_EQ(m_loop.Iterate(false), 0) << "a fired timer stays disarmed";
    m_api->time_free(second);
    m_api->time_free(disarmed);
}

// A readable descriptor is dispatched as input while enabled and not once
// disabled; an enabled deferred event runs on every pass, so a blocking pass
// does not wait while one is.
TEST_F(PulseEventLoopTest, ReadyDescriptorsAndDeferredEventsRunWhileEnabled)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    const auto readable = [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t events, void*) {
        Record((events & PA_IO_EVENT_INPUT) != 0 ? "input" : "other");
    };
    pa_io_event* io = m_api->io_new(m_api, fds[0], PA_IO_EVENT_INPUT, readable, nullptr);
    pa_defer_event* deferred =
        m_api->defer_new(m_api, [](pa_mainloop_api*, pa_defer_event*, void*) { Record("deferred"); }, nullptr);

    EXPECT_EQ(m_loop.Iterate(true), 2);
    m_api->io_enable(io, PA_IO_EVENT_NULL);
    EXPECT_EQ(m_loop.Iterate(true), 1);
    m_api->defer_enable(deferred, 0);
    EXPECT_EQ(m_loop.Iterate(false), 0);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"deferred", "input", "deferred"}));

    m_api->io_free(io);
    m_api->defer_free(deferred);
    close(fds[0]);
    close(fds[1]);
}

// With nothing due, a blocking pass waits until another thread wakes it.
TEST_F(PulseEventLoopTest, WakeupEndsABlockingPassWithNothingDue)
{
    std::thread waker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_loop.Wakeup();
    });
    EXPECT_EQ(m_loop.Iterate(true), 0);
    waker.join();
}
