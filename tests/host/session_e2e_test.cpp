// tonvik-host following its login session: a private system bus with the
// tests' logind on it, the real daemon on the emulated keyboard playing a
// tone, and the host between them. The daemon logs when it rests and when a
// request wakes it (TONVIK_DEBUG), which tells whether the host polled.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "device/fake_hid_log.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"
#include "host/host_process.h"
#include "host/system_bus.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kResting[] = "resting: no request for 2 s";
constexpr char kWaking[] = "waking: a request came";

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t NowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

size_t KeyPacketsSince(const std::vector<FakeHidEvent>& events, uint64_t fromUs)
{
    size_t packets = 0;
    for (const auto& event : events) {
        if (event.kind == "write" && event.ok && event.bytes.size() == 65 && event.bytes[1] == 0xAA &&
            event.bytes[2] == 0x32 && event.us >= fromUs) {
            ++packets;
        }
    }
    return packets;
}

size_t Count(const std::string& text, const std::string& part, size_t from = 0)
{
    size_t count = 0;
    for (size_t at = text.find(part, from); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class SessionE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* custom = std::getenv("TONVIK_DAEMON_CMD");
        if (custom != nullptr && custom[0] != '\0') {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        m_log = m_dir.Path() + "/hid.log";
        std::filesystem::create_directories(m_dir.Path() + "/config/tonvik");
        std::filesystem::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", m_dir.Path() + "/config/tonvik/board.json");
        std::ofstream(m_dir.Path() + "/config/tonvik/host.conf") << "layout = board.json\nmode = 2\n";
        ASSERT_FALSE(m_bus.Address().empty()) << "the private system bus did not start; see " << m_bus.Dir();
        m_pulse = std::make_unique<PulseServer>();
        ASSERT_TRUE(m_pulse->Start()) << "the PulseAudio test server did not start";

        Daemon::Options options = DaemonWithEmulatedKeyboard(*m_pulse, TONVIK_FAKE_HID_DIR, m_log);
        options.env.emplace_back("TONVIK_DEBUG", "1");
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
        m_pulse->WaitUntilSettled();
        const pid_t player = m_pulse->Spawn(m_pulse->PlayCommand("tonvik_a", 60.0));
        ASSERT_GT(player, 0) << "pacat did not start";
        m_player = Player(player);
    }

    // The host first, the tone, the daemon and its sound server; then logind and the bus.
    void TearDown() override
    {
        m_host.reset();
        m_player.Kill();
        m_daemon.reset();
        m_pulse.reset();
        m_logind.reset();
    }

    void StartLogind(const std::vector<std::string>& flags = {})
    {
        m_logind = std::make_unique<FakeLogind>(m_bus, flags);
        ASSERT_TRUE(m_logind->Ready()) << "the stand-in logind did not start; see " << m_bus.Dir();
    }

    void StartHost()
    {
        m_host = std::make_unique<HostProcess>(
            std::vector<std::string>{"--port", std::to_string(m_daemon->Port())},
            HostProcess::Env{{"XDG_CONFIG_HOME", m_dir.Path() + "/config"},
                             {"DBUS_SYSTEM_BUS_ADDRESS", m_bus.Address()},
                             {"XDG_SESSION_ID", "c1"}},
            m_dir.Path());
        ASSERT_TRUE(m_host->Started());
    }

    void Call(const std::string& method, const std::vector<std::string>& args = {})
    {
        ASSERT_TRUE(m_logind->Call(method, args)) << "the stand-in logind did not answer " << method;
    }

    // Waits for the host's log to hold the text once more than `seen` times.
    bool WaitForHostLine(const std::string& text, size_t seen, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Count(m_host->Err(), text) <= seen) {
            if (Clock::now() >= deadline) {
                return false;
            }
            SleepMs(20);
        }
        return true;
    }

    // The daemon is at rest, or comes to rest (so no host polls), and then,
    // for 3 s, no request wakes it and no frame reaches the keyboard.
    void ExpectLeftAlone(const std::string& what)
    {
        const auto resting = [](const std::string& log) {
            const size_t rested = log.rfind(kResting);
            const size_t woken = log.rfind(kWaking);
            return rested != std::string::npos && (woken == std::string::npos || rested > woken);
        };
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!resting(m_daemon->Stderr()) && Clock::now() < deadline) {
            SleepMs(50);
        }
        const std::string log = m_daemon->Stderr();
        ASSERT_TRUE(resting(log)) << what << ": the daemon did not come to rest";
        const size_t restedAt = log.rfind(kResting);
        const uint64_t rested = NowUs();
        SleepMs(3000);
        EXPECT_EQ(Count(m_daemon->Stderr(), kWaking, restedAt), 0u) << what << ": a request reached the daemon";
        EXPECT_EQ(KeyPacketsSince(ReadFakeHidLog(m_log), rested), 0u) << what << ": frames reached the keyboard";
    }

    // Frames reach the keyboard again within the time.
    void ExpectLitWithin(int ms, const std::string& what)
    {
        const uint64_t from = NowUs();
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (KeyPacketsSince(ReadFakeHidLog(m_log), from) == 0 && Clock::now() < deadline) {
            SleepMs(20);
        }
        EXPECT_GT(KeyPacketsSince(ReadFakeHidLog(m_log), from), 0u)
            << what << ": no frame within " << ms << " ms\n" << m_host->Err();
    }

    TempDir m_dir;
    std::string m_log;
    PrivateSystemBus m_bus;
    std::unique_ptr<FakeLogind> m_logind;
    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<Daemon> m_daemon;
    Player m_player;
    std::unique_ptr<HostProcess> m_host;
};

TEST_F(SessionE2E, LockSwitchAndSleepLeaveTheKeyboardAloneAndTheLightsComeBack)
{
    // Started on a locked session: paused from the first moment.
    ASSERT_NO_FATAL_FAILURE(StartLogind({"--locked"}));
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_TRUE(WaitForHostLine("pausing: the session is locked", 0, 5000)) << m_host->Err();
    ASSERT_NO_FATAL_FAILURE(ExpectLeftAlone("started locked"));
    EXPECT_EQ(Count(m_host->Err(), "found the daemon"), 0u) << m_host->Err();
    ASSERT_NO_FATAL_FAILURE(Call("SetLockedHint", {"boolean:false"}));
    ExpectLitWithin(2000, "the first unlock");
    ASSERT_TRUE(WaitForHostLine("lighting on", 0, 2000)) << m_host->Err();

    // LockedHint, then the Lock signal alone (desktops that send only that).
    for (const auto& [lock, unlock, what] :
         {std::tuple{"SetLockedHint", "SetLockedHint", "LockedHint"}, std::tuple{"EmitLock", "EmitUnlock", "Lock"}}) {
        const bool hint = std::string(lock) == "SetLockedHint";
        const size_t pauses = Count(m_host->Err(), "pausing: the session is locked");
        ASSERT_NO_FATAL_FAILURE(Call(lock, hint ? std::vector<std::string>{"boolean:true"} : std::vector<std::string>{}));
        EXPECT_TRUE(WaitForHostLine("pausing: the session is locked", pauses, 2000)) << what << "\n" << m_host->Err();
        ASSERT_NO_FATAL_FAILURE(ExpectLeftAlone(what));
        ASSERT_NO_FATAL_FAILURE(
            Call(unlock, hint ? std::vector<std::string>{"boolean:false"} : std::vector<std::string>{}));
        ExpectLitWithin(1000, std::string(what) + " unlocked");
    }

    // Another user's session becomes the active one on the seat.
    ASSERT_NO_FATAL_FAILURE(Call("SetActive", {"boolean:false"}));
    EXPECT_TRUE(WaitForHostLine("pausing: the session is not the active one on its seat", 0, 2000)) << m_host->Err();
    ASSERT_NO_FATAL_FAILURE(ExpectLeftAlone("switched away"));
    ASSERT_NO_FATAL_FAILURE(Call("SetActive", {"boolean:true"}));
    ExpectLitWithin(1000, "switched back");

    // A sleep: the layout and the effect go up again after it.
    const size_t uploads = Count(m_host->Err(), "the daemon accepted the layout");
    ASSERT_NO_FATAL_FAILURE(Call("EmitPrepareForSleep", {"boolean:true"}));
    EXPECT_TRUE(WaitForHostLine("pausing: the system is going to sleep", 0, 2000)) << m_host->Err();
    ASSERT_NO_FATAL_FAILURE(ExpectLeftAlone("asleep"));
    ASSERT_NO_FATAL_FAILURE(Call("EmitPrepareForSleep", {"boolean:false"}));
    ExpectLitWithin(2000, "woken");
    EXPECT_TRUE(WaitForHostLine("the daemon accepted the layout", uploads, 2000)) << "no upload after the sleep\n"
                                                                                  << m_host->Err();

    const std::string log = m_host->Err();
    EXPECT_EQ(MissingInOrder(log, {"following the login session /org/freedesktop/login1/session/c1",
                                   "pausing: the session is locked", "resuming: the session is unlocked",
                                   "pausing: the session is not the active one on its seat",
                                   "resuming: the session is the active one again",
                                   "pausing: the system is going to sleep", "resuming: the system woke up"}),
              "")
        << log;
    EXPECT_EQ(Count(log, "pausing: "), Count(log, "resuming: ")) << log;
    EXPECT_EQ(Count(log, "pausing: "), 5u) << "one line per pause\n" << log;
}

TEST_F(SessionE2E, WithoutLogindTheHostSaysSoOnceAndLightsAsBefore)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_TRUE(m_host->WaitForLog("lighting on", 10000)) << m_host->Err();
    ExpectLitWithin(2000, "without logind");
    SleepMs(1000);
    const std::string log = m_host->Err();
    EXPECT_EQ(Count(log, "the lights do not follow lock, user switch or sleep"), 1u) << log;
    EXPECT_EQ(Count(log, "pausing: "), 0u) << log;
}

}  // namespace
