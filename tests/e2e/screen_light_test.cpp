// Screen mode (effect mode 100) against a real X server: the daemon's keys
// take the colours painted on the screen, follow them, survive the server's
// death and come back with a new one. Under Wine, Tonvik.exe reads the
// display that the Wine leg runs on, through GDI.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.h"
#include "e2e/x_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kScreenMode[] = "/api/keyboard/musiceffect?param=100&60&0&100&0";
constexpr int kFollowMs = 1000;
// Reading and averaging the whole root is slower, the more so in the
// sanitizer builds (a pass there takes a good part of a second).
constexpr int kWholeRootFollowMs = 3000;

struct Layout {
    int rows;
    int cols;
};

class ScreenE2E : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_daemon && !DaemonRunsUnderWine()) {
            m_daemon->Stop();
            EXPECT_EQ(m_daemon->StderrNoise(), "");
        }
        m_daemon.reset();
        m_server.reset();
    }

    // A private Xvfb; under Wine the display the leg provides.
    void StartServer(std::vector<std::string> options = {})
    {
        if (DaemonRunsUnderWine()) {
            const char* display = std::getenv("DISPLAY");
            m_server = XServer::Existing(display != nullptr ? display : "");
            ASSERT_NE(m_server, nullptr) << "the Wine leg has no display";
            return;
        }
        m_server = std::make_unique<XServer>(std::move(options));
        ASSERT_TRUE(m_server->Start()) << "Xvfb did not start";
    }

    // The daemon on that display (or with the given DISPLAY), the layout
    // uploaded and screen mode selected.
    void StartDaemon(Layout layout, const std::string& display)
    {
        m_layout = layout;
        Daemon::Options options;
        options.env = {{"DISPLAY", display}};
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
        const std::string json = R"({"name":"screen","layouts":{"rows":)" + std::to_string(layout.rows) +
                                 R"(,"cols":)" + std::to_string(layout.cols) + R"(,"keys":[]}})";
        const HttpReply uploaded = Get(Port(), "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(json));
        ASSERT_NE(uploaded.body.find("layout received"), std::string::npos) << uploaded.raw;
        ASSERT_NE(Get(Port(), kScreenMode).body.find(R"("mode":100)"), std::string::npos);
    }

    uint16_t Port() const { return m_daemon->Port(); }

    // Polls the effect route until every key (column c, row r) has the colour
    // `expected(c)` or the time is up; the last colours seen.
    bool KeysBecome(const std::function<std::string(int column)>& expected, int timeoutMs,
                    std::vector<std::string>& seen)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            seen = KeyColours(Get(Port(), "/api/keyboard/musiceffect").body);
            bool all = seen.size() == static_cast<size_t>(m_layout.rows * m_layout.cols);
            for (size_t k = 0; all && k < seen.size(); ++k) {
                all = seen[k] == expected(static_cast<int>(k) / m_layout.rows);
            }
            if (all) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        } while (Clock::now() < deadline);
        return false;
    }

    bool KeysBecome(const std::string& colour, int timeoutMs, std::vector<std::string>& seen)
    {
        return KeysBecome([&colour](int) { return colour; }, timeoutMs, seen);
    }

    // Red on the left half of the keys, blue on the right (for an even
    // column count the halves of the screen split the keys exactly).
    bool HalvesFollow(int timeoutMs, std::vector<std::string>& seen)
    {
        const int half = m_layout.cols / 2;
        return KeysBecome([half](int c) { return c < half ? "#FF0000" : "#0000FF"; }, timeoutMs, seen);
    }

    // A private server painted red, a daemon on it, and the keys red.
    void StartOnARedScreen(std::vector<std::string>& seen)
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        ASSERT_TRUE(m_server->PaintSolid("#FF0000"));
        ASSERT_NO_FATAL_FAILURE(StartDaemon({6, 22}, m_server->Display()));
        ASSERT_TRUE(KeysBecome("#FF0000", kFollowMs, seen)) << Joined(seen);
    }

    static std::string Joined(const std::vector<std::string>& colours)
    {
        std::string text;
        for (const auto& colour : colours) {
            text += colour + " ";
        }
        return text;
    }

    std::unique_ptr<XServer> m_server;
    std::unique_ptr<Daemon> m_daemon;
    Layout m_layout{};
};

TEST_F(ScreenE2E, KeysShowTheScreenAndFollowIt)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(m_server->PaintSolid("#FF0000"));
    ASSERT_NO_FATAL_FAILURE(StartDaemon({6, 22}, m_server->Display()));
    std::vector<std::string> seen;
    EXPECT_TRUE(KeysBecome("#FF0000", kFollowMs, seen)) << Joined(seen);

    ASSERT_TRUE(m_server->PaintSolid("#10C080"));
    EXPECT_TRUE(KeysBecome("#10C080", kFollowMs, seen)) << Joined(seen);

    ASSERT_TRUE(m_server->PaintHalves("#FF0000", "#0000FF"));
    EXPECT_TRUE(HalvesFollow(kFollowMs, seen)) << Joined(seen);
}

// A screen painted before the daemon starts and never changed after shows
// as soon as screen mode is switched on, the first time and again after the
// sampler has been switched off (and its connection closed) for a while.
TEST_F(ScreenE2E, AScreenThatNeverChangesShowsWheneverScreenModeIsSwitchedOn)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(m_server->PaintSolid("#20A0E0"));
    ASSERT_NO_FATAL_FAILURE(StartDaemon({6, 22}, m_server->Display()));
    std::vector<std::string> seen;
    EXPECT_TRUE(KeysBecome("#20A0E0", kFollowMs, seen)) << Joined(seen);

    ASSERT_NE(Get(Port(), "/api/keyboard/musiceffect?param=19&60&0&100&0").body.find(R"("mode":19)"),
              std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_NE(Get(Port(), kScreenMode).body.find(R"("mode":100)"), std::string::npos);
    EXPECT_TRUE(KeysBecome("#20A0E0", kFollowMs, seen)) << Joined(seen);
}

TEST_F(ScreenE2E, EveryKeyOfTheLargestLayoutHasItsOwnPartOfTheScreen)
{
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(m_server->PaintHalves("#FF0000", "#0000FF"));
    ASSERT_NO_FATAL_FAILURE(StartDaemon({10, 100}, m_server->Display()));
    std::vector<std::string> seen;
    EXPECT_TRUE(HalvesFollow(kFollowMs, seen)) << Joined(seen);
}

// Without MIT-SHM the picture comes by plain requests; without RENDER the
// whole root is read and averaged by the daemon.
TEST_F(ScreenE2E, ServersWithoutSharedMemoryOrRenderAreReadToo)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "the Wine leg's display is shared by the whole run";
    }
    const std::vector<std::vector<std::string>> servers{
        {"-extension", "MIT-SHM"}, {"-extension", "RENDER"}, {"-extension", "MIT-SHM", "-extension", "RENDER"}};
    for (const auto& options : servers) {
        SCOPED_TRACE(options.back() + (options.size() > 2 ? " and MIT-SHM" : "") + " left out");
        ASSERT_NO_FATAL_FAILURE(StartServer(options));
        ASSERT_TRUE(m_server->PaintHalves("#FF0000", "#0000FF"));
        ASSERT_NO_FATAL_FAILURE(StartDaemon({6, 22}, m_server->Display()));
        std::vector<std::string> seen;
        EXPECT_TRUE(HalvesFollow(options.back() == "RENDER" ? kWholeRootFollowMs : kFollowMs, seen)) << Joined(seen);
        TearDown();
    }
}

TEST_F(ScreenE2E, WithoutADisplayTheKeysAreBlackAndTheLogSaysSoOnce)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "Tonvik.exe always has the Wine leg's display";
    }
    ASSERT_NO_FATAL_FAILURE(StartDaemon({6, 22}, ""));
    std::vector<std::string> seen;
    EXPECT_TRUE(KeysBecome("#000000", kFollowMs, seen)) << Joined(seen);
    // Several reopening attempts later, still one line, and still serving.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(KeysBecome("#000000", kFollowMs, seen)) << Joined(seen);
    const std::string log = m_daemon->Stderr();
    EXPECT_EQ(log.find("screen colours: no X display"), log.rfind("screen colours:")) << log;
    EXPECT_NE(log.find("screen colours: no X display"), std::string::npos) << log;
}

TEST_F(ScreenE2E, ADaemonWhoseServerDiesResumesOnTheNextOne)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "the Wine leg's display is shared by the whole run";
    }
    std::vector<std::string> seen;
    ASSERT_NO_FATAL_FAILURE(StartOnARedScreen(seen));
    const pid_t pid = m_daemon->Pid();

    m_server->Kill();
    EXPECT_TRUE(KeysBecome("#000000", kFollowMs, seen)) << Joined(seen);
    // Reopening is tried about once a second, each attempt in vain.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));

    ASSERT_TRUE(m_server->Restart()) << "another server took display " << m_server->Display();
    ASSERT_TRUE(m_server->PaintSolid("#0000FF"));
    EXPECT_TRUE(KeysBecome("#0000FF", 1000 + 2 * kFollowMs, seen)) << Joined(seen);
    EXPECT_EQ(m_daemon->Pid(), pid);
    const std::string log = m_daemon->Stderr();
    const size_t lost = log.find("screen colours: lost the X display");
    EXPECT_NE(lost, std::string::npos) << log;
    EXPECT_EQ(lost, log.rfind("screen colours: lost")) << log;
    EXPECT_NE(log.find("screen colours: sampling", lost), std::string::npos) << log;
}

// A stopped server keeps the connection and answers nothing: the keys keep
// their colours, the sampler goes on once the server does, and a daemon told
// to stop meanwhile still ends.
TEST_F(ScreenE2E, AStoppedServerHoldsNeitherTheColoursNorTheDaemonsEnd)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "the Wine leg's display is shared by the whole run";
    }
    std::vector<std::string> seen;
    ASSERT_NO_FATAL_FAILURE(StartOnARedScreen(seen));

    m_server->Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(KeysBecome("#FF0000", kFollowMs, seen)) << Joined(seen);
    m_server->Resume();
    ASSERT_TRUE(m_server->PaintSolid("#0000FF"));
    EXPECT_TRUE(KeysBecome("#0000FF", kFollowMs, seen)) << Joined(seen);
    EXPECT_EQ(MissingInOrder(m_daemon->Stderr(), {"does not answer", "answers again"}), "") << m_daemon->Stderr();

    m_server->Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int status = m_daemon->Stop(SIGTERM, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "wait status " << status << "\n" << m_daemon->Stderr();
    m_server->Resume();
}

}  // namespace
