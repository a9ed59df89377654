#include "api/connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Phase = Connection::Phase;

// Short stages, so the scripts read at a glance.
constexpr ConnectionTimeouts kTimeouts{.idleMs = 50, .quietMs = 10, .totalMs = 25, .sendMs = 40, .lingerMs = 20};

struct Step {
    int64_t atMs;
    enum { Bytes, PeerClosed, Tick } what;
    std::string bytes;
    Phase expected;
};

struct ReadCase {
    const char* name;
    std::vector<Step> steps;
    std::string request;  // the text once Ready
};

TEST(Connection, EachWayARequestEnds)
{
    const std::string big(kRequestCap + 5, 'x');
    const std::vector<ReadCase> cases = {
        {"header end split across pieces",
         {{0, Step::Bytes, "GET / HTTP/1.1\r\n\r", Phase::Reading}, {3, Step::Bytes, "\nbody", Phase::Ready}},
         "GET / HTTP/1.1\r\n\r\nbody"},
        {"quiet pause after data",
         {{0, Step::Bytes, "GET /a", Phase::Reading}, {9, Step::Tick, "", Phase::Reading}, {10, Step::Tick, "", Phase::Ready}},
         "GET /a"},
        {"total time after the first byte, however it trickles",
         {{0, Step::Bytes, "G", Phase::Reading},
          {9, Step::Bytes, "E", Phase::Reading},
          {18, Step::Bytes, "T", Phase::Reading},
          {24, Step::Tick, "", Phase::Reading},
          {25, Step::Tick, "", Phase::Ready}},
         "GET"},
        {"peer closes after data", {{0, Step::Bytes, "GET /b", Phase::Reading}, {1, Step::PeerClosed, "", Phase::Ready}},
         "GET /b"},
        {"size cap", {{0, Step::Bytes, big, Phase::Ready}}, big.substr(0, kRequestCap)},
        {"NUL ends the text", {{0, Step::Bytes, std::string("GET /c\0x\r\n\r\n", 12), Phase::Ready}}, "GET /c"},
        {"idle client dropped", {{49, Step::Tick, "", Phase::Reading}, {50, Step::Tick, "", Phase::Closed}}, ""},
        {"peer leaves without a word", {{5, Step::PeerClosed, "", Phase::Closed}}, ""},
    };
    for (const ReadCase& test : cases) {
        Connection connection(0, kTimeouts);
        for (const Step& step : test.steps) {
            if (step.what == Step::Bytes) {
                connection.OnReceived(step.bytes, step.atMs);
            } else if (step.what == Step::PeerClosed) {
                connection.OnReceiveEnded();
            } else {
                connection.OnTime(step.atMs);
            }
            ASSERT_EQ(connection.State(), step.expected) << test.name << " at " << step.atMs;
        }
        if (connection.State() == Phase::Ready) {
            EXPECT_EQ(connection.ReceiveRoom(16384), 0u) << test.name;
            EXPECT_EQ(connection.TakeRequest(), test.request) << test.name;
        }
    }
}

TEST(Connection, ReplyIsSentThroughAFullBufferThenTheSocketLingers)
{
    Connection connection(0, kTimeouts);
    connection.OnReceived("GET / HTTP/1.1\r\n\r\n", 0);
    connection.TakeRequest();
    connection.SetReply("0123456789", 1);
    EXPECT_EQ(connection.Unsent(), "0123456789");
    connection.OnSent(4, 5);
    connection.OnSent(0, 30);  // the buffer is full: waiting is no progress
    EXPECT_EQ(connection.Unsent(), "456789");
    EXPECT_FALSE(connection.Idle());
    connection.OnTime(44);
    EXPECT_EQ(connection.State(), Phase::Writing);
    connection.OnSent(6, 44);
    EXPECT_EQ(connection.State(), Phase::Lingering);
    EXPECT_TRUE(connection.Idle());

    // What the peer still sends is swallowed until it closes or time is up.
    EXPECT_EQ(connection.ReceiveRoom(4096), 4096u);
    connection.OnReceived("more body", 50);
    connection.OnTime(63);
    EXPECT_EQ(connection.State(), Phase::Lingering);
    connection.OnTime(64);
    EXPECT_EQ(connection.State(), Phase::Closed);

    // A reader that never takes the reply is given up once sending stalls.
    Connection stalled(0, kTimeouts);
    stalled.OnReceived("GET / HTTP/1.1\r\n\r\n", 0);
    stalled.TakeRequest();
    stalled.SetReply("reply", 0);
    stalled.OnTime(40);
    EXPECT_EQ(stalled.State(), Phase::Closed);
}

}  // namespace
