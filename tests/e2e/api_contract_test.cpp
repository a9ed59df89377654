// The host HTTP contract, byte for byte, against the real daemon over TCP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/version.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kPreflight =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n"
    "Content-Length: 0\r\n\r\n";

std::string PercentEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

// A layout of rows x cols with a key at every cell, key codes from 1.
std::string FullLayout(int rows, int cols)
{
    std::string keys;
    int code = 1;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c, ++code) {
            keys += (keys.empty() ? "" : ",") + std::string(R"({"row":)") + std::to_string(r) + R"(,"col":)" +
                    std::to_string(c) + R"(,"code":)" + std::to_string(code) + R"(,"index":)" +
                    std::to_string(code % 200) + "}";
        }
    }
    return R"({"name":"Test board","vendorId":12815,"productId":20565,"deviceMode":0,"layouts":{"rows":)" +
           std::to_string(rows) + R"(,"cols":)" + std::to_string(cols) + R"(,"keys":[)" + keys + "]}}";
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// Reads from a socket until the peer closes or the deadline passes.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit, bool* closed)
{
    std::string data;
    timeval timeout{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    *closed = false;
    while (Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            *closed = true;
            break;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;  // reset by the peer: not a clean close
        }
        if (n > 0) {
            data.append(buffer, static_cast<size_t>(n));
        }
    }
    return data;
}

// The status reply, its keyboard left open: what the machine has is not the test's.
const std::regex kStatusShape(
    R"(\{"keyboard": \{"found": (true|false), "vendorId": "320F", "productId": "5055", "accessDenied": (true|false)\}, )"
    R"("sound": \{"connected": (true|false), "recording": "[^"]*", "playing": (true|false)\}, )"
    R"("resting": (true|false), "version": "[0-9.]+"\})");

// Polls the status every 250 ms until it holds the text; the last status.
std::string StatusWithin(uint16_t port, const std::string& text, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    std::string status = Get(port, "/api/status").body;
    while (status.find(text) == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(250ms);
        status = Get(port, "/api/status").body;
    }
    return status;
}

class ApiContract : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(daemon.Port(), 0) << "daemon did not listen"; }

    std::string Body(const std::string& target) { return Get(daemon.Port(), target).body; }

    Daemon daemon;
};

TEST_F(ApiContract, OnlyTheMethodMakesAPreflight)
{
    EXPECT_EQ(Exchange(daemon.Port(), "OPTIONS /api/audio/amplitude HTTP/1.1\r\nOrigin: http://x\r\n\r\n"), kPreflight);
    EXPECT_EQ(Exchange(daemon.Port(), "GET /api/audio/amplitude HTTP/1.1\r\nX-Why: OPTIONS\r\n\r\n"),
              ExpectedJsonReply(R"({"amplitude":0})"));

    // A keyboard may well be called that.
    std::string layout = FullLayout(2, 3);
    layout.replace(layout.find("Test board"), 10, "OPTIONS");
    EXPECT_EQ(Body("/api/keyboard/musiceffect/layout?layout=" + PercentEncode(layout)),
              R"({"status": "layout received via GET"})");
    EXPECT_EQ(CountOf(Body("/api/keyboard/musiceffect"), R"("keyCode":)"), 6u);
}

TEST_F(ApiContract, ListensOnLoopbackOnly)
{
    EXPECT_EQ(daemon.ListenAddress(), "127.0.0.1");
}

TEST_F(ApiContract, EveryRouteAnswersWithItsExactBytes)
{
    EXPECT_EQ(Get(daemon.Port(), "/api/keyboard/layout/base64").raw,
              ExpectedJsonReply(R"({"status": "error", "message": "缺少Base64数据参数", "success": false})"));
    EXPECT_EQ(Get(daemon.Port(), "/api/keyboard/musiceffect/close").raw,
              ExpectedJsonReply(R"({"status": "close ok"})"));
    // Empty until the first hardware snapshot, which may already have been taken.
    const HttpReply hardware = Get(daemon.Port(), "/api/hardware/info");
    EXPECT_TRUE(hardware.body == R"({"status": "empty"})" || hardware.body.rfind(R"({"cpuTemp":)", 0) == 0)
        << hardware.body;
    EXPECT_EQ(hardware.raw, ExpectedJsonReply(hardware.body));
    EXPECT_EQ(Get(daemon.Port(), "/api/keyboard/musiceffect/layout").raw,
              ExpectedJsonReply(R"({"status": "layout received via GET"})"));
    EXPECT_EQ(Get(daemon.Port(), "/api/audio/amplitude").raw, ExpectedJsonReply(R"({"amplitude":0})"));
    EXPECT_EQ(Get(daemon.Port(), "/api/unknown").raw, ExpectedJsonReply(R"({"error": "Invalid request"})"));
    EXPECT_EQ(Exchange(daemon.Port(), "POST /api/audio/amplitude HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
              ExpectedJsonReply(R"({"error": "Invalid request"})"));
    EXPECT_EQ(Get(daemon.Port(), "/api/keyboard/musiceffect?param=1&2&x&4&5").raw,
              ExpectedJsonReply(R"({"error": "invalid stoi argument"})"));

    // "%6530%3D" is the Base64 text "e30=", the two bytes of the layout "{}".
    const HttpReply success = Get(daemon.Port(), "/api/keyboard/layout/base64?data=%6530%3D");
    EXPECT_TRUE(std::regex_match(success.body,
                                 std::regex(R"(\{"status": "success", "message": "布局数据已成功接收并处理", )"
                                            R"("dataSize": 2, "timestamp": [1-9][0-9]*\})")))
        << success.body;
    EXPECT_EQ(success.raw, ExpectedJsonReply(success.body));
}

TEST_F(ApiContract, LayoutUploadThenEffectRequests)
{
    const std::string layout = FullLayout(6, 21);
    EXPECT_EQ(Body("/api/keyboard/musiceffect/layout?layout=" + PercentEncode(layout)),
              R"({"status": "layout received via GET"})");

    const auto start = Clock::now();
    const HttpReply reply = Get(daemon.Port(), "/api/keyboard/musiceffect?param=7&60&0&100&1");
    EXPECT_GE(Clock::now() - start, 150ms);  // new parameters pause the analysis first
    EXPECT_EQ(reply.raw, ExpectedJsonReply(reply.body));
    EXPECT_EQ(reply.body.rfind(R"({"amplitude":60,"backmode":0,"backmodebrightness":100,"keys":[{"col":0,)", 0), 0u);
    EXPECT_EQ(CountOf(reply.body, R"("keyCode":)"), 126u);
    EXPECT_NE(reply.body.find(R"({"col":20,"color":"#)"), std::string::npos);
    EXPECT_NE(reply.body.find(R"("mode":7,"timestamp":)"), std::string::npos);

    // Without parameters the state is reported as it stands.
    const std::string again = Body("/api/keyboard/musiceffect");
    EXPECT_NE(again.find(R"("mode":7,)"), std::string::npos);

    // A one-row layout leaves nothing to report.
    Body("/api/keyboard/musiceffect/layout?layout=" + PercentEncode(FullLayout(1, 21)));
    EXPECT_EQ(Body("/api/keyboard/musiceffect"), R"({"status": "empty"})");
}

TEST_F(ApiContract, RequestSplitAcrossSegmentsIsReadWhole)
{
    // About 100 KB of request line, sent in pieces with pauses between them.
    const std::string request = "GET /api/keyboard/musiceffect/layout?layout=" + PercentEncode(FullLayout(10, 100)) +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_GT(request.size(), 65536u);
    ASSERT_LT(request.size(), 131071u);
    const int fd = ConnectLoopback(daemon.Port());
    ASSERT_GE(fd, 0);
    const size_t piece = request.size() / 5 + 1;
    for (size_t at = 0; at < request.size(); at += piece) {
        const std::string part = request.substr(at, piece);
        ASSERT_EQ(::send(fd, part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
        std::this_thread::sleep_for(30ms);
    }
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(fd, 5s, &closed), ExpectedJsonReply(R"({"status": "layout received via GET"})"));
    EXPECT_TRUE(closed);
    ::close(fd);

    EXPECT_EQ(CountOf(Body("/api/keyboard/musiceffect"), R"("keyCode":)"), 1000u);
}

TEST_F(ApiContract, BareLineWithoutLineEndIsAnsweredPromptly)
{
    const auto start = Clock::now();
    EXPECT_EQ(Exchange(daemon.Port(), "GET /api/audio/amplitude"), ExpectedJsonReply(R"({"amplitude":0})"));
    EXPECT_LT(Clock::now() - start, 1500ms);
}

TEST_F(ApiContract, BodyArrivingAfterTheHeadersDoesNotCostTheReply)
{
    const int fd = ConnectLoopback(daemon.Port());
    ASSERT_GE(fd, 0);
    // The parameters hold the server for 150 ms, so the body is waiting unread when it replies.
    const std::string head = 
        "GET /api/keyboard/musiceffect?param=1&2&3&4&5 HTTP/1.1\r\nContent-Length: 4000\r\n\r\n";
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    std::this_thread::sleep_for(30ms);
    const std::string body(4000, 'x');
    ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(400ms);  // the server has answered and finished with us by now
    bool closed = false;
    const HttpReply reply = SplitReply(ReadUntilClosed(fd, 3s, &closed));
    EXPECT_EQ(reply.raw, ExpectedJsonReply(reply.body));
    EXPECT_EQ(reply.body.rfind(R"({"amplitude":2,)", 0), 0u) << reply.raw;
    EXPECT_TRUE(closed) << "the connection was reset instead of closed";
    ::close(fd);
}

TEST_F(ApiContract, NulByteEndsTheRequestText)
{
    EXPECT_EQ(Exchange(daemon.Port(), std::string("GET /x\0GET /api/audio/amplitude HTTP/1.1\r\n\r\n", 45)),
              ExpectedJsonReply(R"({"error": "Invalid request"})"));
}

TEST_F(ApiContract, IdleClientIsDroppedAndDoesNotBlockOthers)
{
    const int idle = ConnectLoopback(daemon.Port());
    ASSERT_GE(idle, 0);
    std::this_thread::sleep_for(100ms);  // the server is now waiting on the idle client

    const auto start = Clock::now();
    EXPECT_EQ(Body("/api/audio/amplitude"), R"({"amplitude":0})");
    EXPECT_LT(Clock::now() - start, 4s);

    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(idle, 5s, &closed), "");
    EXPECT_TRUE(closed);
    ::close(idle);

    // A client that connects and leaves without a word gets nothing; the server goes on.
    ::close(ConnectLoopback(daemon.Port()));
    EXPECT_EQ(Body("/api/audio/amplitude"), R"({"amplitude":0})");
}

// Browsers open speculative connections that send nothing and keep sockets
// open after a reply; neither may queue the next request behind them.
TEST_F(ApiContract, TwentyIdleConnectionsDelayNoOne)
{
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(ConnectLoopback(daemon.Port()));
        ASSERT_GE(idle.back(), 0);
    }
    std::this_thread::sleep_for(100ms);  // all accepted by now

    const auto start = Clock::now();
    EXPECT_EQ(Body("/api/audio/amplitude"), R"({"amplitude":0})");
    EXPECT_LT(Clock::now() - start, 1s);
    for (int fd : idle) {
        ::close(fd);
    }
}

TEST_F(ApiContract, KeepAliveClientsThatNeverCloseDelayNoOne)
{
    const std::string request = "GET /api/audio/amplitude HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    std::vector<int> kept;
    for (int i = 0; i < 20; ++i) {
        kept.push_back(ConnectLoopback(daemon.Port()));
        ASSERT_GE(kept.back(), 0);
        ASSERT_EQ(::send(kept.back(), request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
    }

    const auto start = Clock::now();
    EXPECT_EQ(Body("/api/audio/amplitude"), R"({"amplitude":0})");
    EXPECT_LT(Clock::now() - start, 1s);

    // Each got its whole reply and the end of it, and still holds its socket.
    for (int fd : kept) {
        bool closed = false;
        EXPECT_EQ(ReadUntilClosed(fd, 2s, &closed), ExpectedJsonReply(R"({"amplitude":0})"));
        EXPECT_TRUE(closed);
        ::close(fd);
    }
}

TEST_F(ApiContract, SecondInstanceExitsAtOnceNamingTheFirst)
{
    Daemon second(Daemon::Options{.env = {}, .runtimeDir = daemon.RuntimeDir(), .waitForPort = false});
    int status = -1;
    ASSERT_TRUE(second.WaitExit(5000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(second.Stdout(), "");
    // Tonvik.exe ends silently; the Linux daemon tells the user who holds the lock.
    EXPECT_EQ(second.Stderr(), DaemonRunsUnderWine() ? ""
                                                     : "tonvik is already running (pid " +
                                                           std::to_string(daemon.Pid()) + ")\n");
    EXPECT_EQ(Body("/api/audio/amplitude"), R"({"amplitude":0})");
}

TEST_F(ApiContract, TakenPortMovesTheNextDaemonUp)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "one Wine prefix runs one instance; Shell.TakenPortMovesTheDaemonToTheNextFreeOne holds the port instead";
    }
    Daemon other;  // a separate runtime dir, so not a second instance
    ASSERT_NE(other.Port(), 0);
    EXPECT_NE(other.Port(), daemon.Port());
    EXPECT_EQ(Get(other.Port(), "/api/audio/amplitude").body, R"({"amplitude":0})");
}

TEST_F(ApiContract, StopsPromptlyWithAnIdleClientConnected)
{
    const int idle = ConnectLoopback(daemon.Port());
    ASSERT_GE(idle, 0);
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    const int status = daemon.Stop(SIGTERM, 10000);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(idle);
}

// Asking for the status neither keeps the daemon awake nor wakes it: polled
// throughout, it still rests 2 s after the last other request, and stays so.
TEST_F(ApiContract, StatusTellsWhatTheDaemonFoundWithoutKeepingItAwake)
{
    const HttpReply first = Get(daemon.Port(), "/api/status");
    EXPECT_EQ(first.raw, ExpectedJsonReply(first.body));
    EXPECT_TRUE(std::regex_match(first.body, kStatusShape)) << first.body;
    EXPECT_NE(first.body.find(std::string(R"("version": ")") + TONVIK_VERSION + R"("})"), std::string::npos)
        << first.body;

    const std::string resting = StatusWithin(daemon.Port(), R"("resting": true)", 6s);
    EXPECT_NE(resting.find(R"("resting": true)"), std::string::npos) << resting;
    EXPECT_NE(resting.find(R"("playing": false)"), std::string::npos) << resting;
    std::this_thread::sleep_for(500ms);
    EXPECT_NE(Get(daemon.Port(), "/api/status").body.find(R"("resting": true)"), std::string::npos);

    Get(daemon.Port(), "/api/audio/amplitude");
    const std::string woken = Get(daemon.Port(), "/api/status").body;
    EXPECT_NE(woken.find(R"("resting": false)"), std::string::npos) << woken;
}

// With a sound server the status names what is recorded, and says sound is
// playing while a tone plays and for no longer than about a second after.
TEST(ApiContractSound, StatusFollowsTheCapturedSound)
{
    PulseServer pulse({"tonvik_a"});
    ASSERT_TRUE(pulse.Start()) << "sound server did not start";
    auto env = pulse.ClientEnv();
    std::erase_if(env, [](const auto& entry) { return entry.first == "XDG_RUNTIME_DIR"; });
    if (DaemonRunsUnderWine()) {
        env.emplace_back("TONVIK_TEST_CAPTURE_ENDPOINT", "capture");
    }
    Daemon daemon(Daemon::Options{.env = env, .runtimeDir = pulse.RuntimeDir()});
    ASSERT_NE(daemon.Port(), 0) << "daemon did not listen";
    pulse.WaitUntilSettled();

    // The amplitude requests keep the daemon awake, so its capture runs.
    const auto statusWhileAwake = [&](const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            Get(daemon.Port(), "/api/audio/amplitude");
            const std::string status = Get(daemon.Port(), "/api/status").body;
            if (status.find(text) != std::string::npos || Clock::now() >= deadline) {
                return status;
            }
            std::this_thread::sleep_for(200ms);
        }
    };
    const std::string connected = statusWhileAwake(R"("connected": true)", 5s);
    EXPECT_TRUE(std::regex_search(connected, std::regex(R"("connected": true, "recording": "[^"]+", "playing": false)")))
        << connected;

    Player player(pulse.Spawn(pulse.PlayCommand("tonvik_a", 4.0)));
    const std::string playing = statusWhileAwake(R"("playing": true)", 3s);
    EXPECT_NE(playing.find(R"("playing": true}, "resting": false)"), std::string::npos) << playing;
    player.Kill();
    const auto stopped = Clock::now();
    const std::string silent = statusWhileAwake(R"("playing": false)", 3s);
    EXPECT_NE(silent.find(R"("playing": false)"), std::string::npos) << silent;
    EXPECT_LT(Clock::now() - stopped, 2500ms);
}

}  // namespace
