// Screen mode on a Wayland desktop: the daemon asks the real portal front-end
// for the screen, the test's backend grants it (or the user declines), and the
// keys show what the test's PipeWire source paints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.h"
#include "e2e/portal/portal_desktop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kScreenMode[] = "/api/keyboard/musiceffect?param=100&60&0&100&0";
constexpr char kSpectrumMode[] = "/api/keyboard/musiceffect?param=19&60&0&100&0";
constexpr int kRows = 6;
constexpr int kColumns = 22;
constexpr int kFollowMs = 5000;

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class PortalE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (DaemonRunsUnderWine()) {
            GTEST_SKIP() << "the portal is the Linux daemon's way to the screen on Wayland";
        }
        std::string why;
        ASSERT_TRUE(m_desktop.Start("solid FF0000", why)) << why;
    }

    void TearDown() override
    {
        StopDaemon();
        if (HasFailure()) {
            std::cerr << m_desktop.ServerLogs() << "--- backend log:\n" << m_desktop.BackendLog();
        }
    }

    void StartDaemon()
    {
        Daemon::Options options;
        options.env = m_desktop.DaemonEnv();
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
        const std::string json = R"({"name":"screen","layouts":{"rows":)" + std::to_string(kRows) + R"(,"cols":)" +
                                 std::to_string(kColumns) + R"(,"keys":[]}})";
        const HttpReply uploaded = Get(Port(), "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(json));
        ASSERT_NE(uploaded.body.find("layout received"), std::string::npos) << uploaded.raw;
        ASSERT_NE(Get(Port(), kScreenMode).body.find(R"("mode":100)"), std::string::npos);
    }

    void StopDaemon()
    {
        if (m_daemon) {
            m_daemon->Stop();
            EXPECT_EQ(m_daemon->StderrNoise(), "");
            m_log = m_daemon->Stderr();
            m_daemon.reset();
        }
    }

    uint16_t Port() const { return m_daemon->Port(); }

    // Polls the effect route until every key (column c) has the colour
    // expected(c), or the time is up.
    bool KeysBecome(const std::function<std::string(int)>& expected, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            m_seen = KeyColours(Get(Port(), "/api/keyboard/musiceffect").body);
            bool all = m_seen.size() == static_cast<size_t>(kRows * kColumns);
            for (size_t k = 0; all && k < m_seen.size(); ++k) {
                all = m_seen[k] == expected(static_cast<int>(k) / kRows);
            }
            if (all) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        } while (Clock::now() < deadline);
        return false;
    }

    bool KeysBecome(const std::string& colour, int timeoutMs)
    {
        return KeysBecome([&colour](int) { return colour; }, timeoutMs);
    }

    // Every key keeps the colour for the whole time.
    bool KeysStay(const std::string& colour, int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (!KeysBecome(colour, 0)) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    std::string Seen() const
    {
        std::string text;
        for (const auto& colour : m_seen) {
            text += colour + " ";
        }
        return text + "\n" + (m_daemon ? m_daemon->Stderr() : m_log);
    }

    std::string Token() const { return ReadFile(m_desktop.TokenPath()); }

    PortalDesktop m_desktop;
    std::unique_ptr<Daemon> m_daemon;
    std::vector<std::string> m_seen;
    std::string m_log;  // the last daemon's log, once it is stopped
};

TEST_F(PortalE2E, KeysShowTheSourcesColoursAndKeepThemWhileItSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_TRUE(KeysBecome("#FF0000", kFollowMs)) << Seen();

    m_desktop.Paint("halves FF0000 0000FF");
    const auto halves = [](int c) { return c < kColumns / 2 ? "#FF0000" : "#0000FF"; };
    EXPECT_TRUE(KeysBecome(halves, kFollowMs)) << Seen();
    // The source sends nothing once its picture stays the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(KeysBecome(halves, 0)) << Seen();

    // Nobody asks for 2 s: the daemon rests and the stream goes; the next
    // request takes it up again through the stored token, without asking.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    m_desktop.Paint("solid 00FF00");
    EXPECT_TRUE(KeysBecome("#00FF00", kFollowMs)) << Seen();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "persist_mode=2 restored monitor-0"), 1u) << m_desktop.BackendLog();

    const std::string log = m_daemon->Stderr();
    EXPECT_EQ(MissingInOrder(log, {"screen colours: a Wayland session; asking the desktop's ScreenCast portal",
                                   "screen colours: showing the portal's screen stream (64 x 36 RGBx)"}),
              "")
        << log;
    EXPECT_EQ(log.find("X display"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "showing the portal's screen stream"), 1u) << log;
    // One monitor, the cursor hidden, kept until revoked.
    EXPECT_NE(m_desktop.BackendLog().find("SelectSources types=1 multiple=0 cursor_mode=1 persist_mode=2\n"),
              std::string::npos)
        << m_desktop.BackendLog();
    // The user's consent is kept for the next start, for the user's eyes only.
    struct stat info{};
    ASSERT_EQ(::stat(m_desktop.TokenPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string token = Token();
    ASSERT_GT(token.size(), 1u);
    EXPECT_EQ(log.find(token.substr(0, token.size() - 1)), std::string::npos) << "the token is logged";
}

TEST_F(PortalE2E, TheNextStartRestoresTheChoiceWithTheStoredTokenAndStoresANewOne)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_TRUE(KeysBecome("#FF0000", kFollowMs)) << Seen();
    StopDaemon();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "restored"), 0u) << m_desktop.BackendLog();
    struct stat first{};
    ASSERT_EQ(::stat(m_desktop.TokenPath().c_str(), &first), 0);

    m_desktop.Paint("solid 00FF00");
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_TRUE(KeysBecome("#00FF00", kFollowMs)) << Seen();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "persist_mode=2 restored monitor-0"), 1u) << m_desktop.BackendLog();
    // The token of this start replaced the used one, as a new file renamed
    // over it. (This front-end hands the same identifier out again.)
    struct stat second{};
    ASSERT_EQ(::stat(m_desktop.TokenPath().c_str(), &second), 0);
    EXPECT_NE(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_mode & 0777, 0600u);
    EXPECT_GT(Token().size(), 1u);
}

TEST_F(PortalE2E, ADeclineLeavesTheKeysBlackAndIsNotAskedAgainUntilScreenModeIsSwitchedOnAgain)
{
    m_desktop.Decline(true);
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_TRUE(KeysBecome("#000000", kFollowMs)) << Seen();
    // Past the first retry's wait, still the one question.
    ASSERT_TRUE(KeysStay("#000000", 3000)) << Seen();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "Start"), 1u) << m_desktop.BackendLog();
    EXPECT_EQ(Count(m_daemon->Stderr(), "screen sharing was declined"), 1u) << m_daemon->Stderr();
    // Nor after a rest and the wake-up that ends it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    ASSERT_TRUE(KeysStay("#000000", 500)) << Seen();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "Start"), 1u) << m_desktop.BackendLog();

    // Switched off and on again: the user is asked again, and says yes.
    m_desktop.Decline(false);
    ASSERT_NE(Get(Port(), kSpectrumMode).body.find(R"("mode":19)"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_NE(Get(Port(), kScreenMode).body.find(R"("mode":100)"), std::string::npos);
    EXPECT_TRUE(KeysBecome("#FF0000", kFollowMs)) << Seen();
    EXPECT_EQ(Count(m_desktop.BackendLog(), "Start"), 2u) << m_desktop.BackendLog();
}

TEST_F(PortalE2E, WhenTheSourceGoesAwayTheKeysGoBlackAndComeBackWithIt)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_TRUE(KeysBecome("#FF0000", kFollowMs)) << Seen();

    m_desktop.KillSource();
    EXPECT_TRUE(KeysBecome("#000000", kFollowMs)) << Seen();
    m_desktop.Paint("solid 0000FF");
    std::string why;
    ASSERT_TRUE(m_desktop.StartSource(why)) << why;
    // Retries come 2 s, then 4 s, after the failure.
    EXPECT_TRUE(KeysBecome("#0000FF", 2000 + 4000 + kFollowMs)) << Seen();
    EXPECT_EQ(Count(m_daemon->Stderr(), "showing the portal's screen stream"), 2u) << m_daemon->Stderr();
}

}  // namespace
