// From nothing configured to a lit keyboard without editing a file, against
// the real daemon on the emulated keyboard (a tone playing, so frames go
// out): a host started with an empty configuration directory serves the
// settings API; the layout chosen on the console's first step, in a real
// browser, lands in a new host.conf and lights the keyboard; after the daemon
// and the host restart the keyboard lights with no console at all. A bundled
// layout chosen while no daemon answers goes up when one appears.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "device/fake_hid_log.h"
#include "e2e/browser.h"
#include "e2e/console_server.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kStatus[] = "document.getElementById('status').textContent";

uint64_t NowUs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

class FirstRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* custom = std::getenv("TONVIK_DAEMON_CMD"); custom != nullptr && custom[0] != '\0') {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        char pattern[] = "/tmp/tonvik-first-run-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        // The configuration home exists; nothing of Tonvik's is in it.
        fs::create_directories(m_dir + "/config");
        fs::create_directories(TONVIK_WEB_ARTEFACTS);
        m_pulse = std::make_unique<PulseServer>();
        ASSERT_TRUE(m_pulse->Start()) << "the PulseAudio test server did not start";
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error() << "\n" << m_browser.Log();
    }

    void TearDown() override
    {
        m_host.reset();
        m_player.Kill();
        m_daemon.reset();
        m_pulse.reset();
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    void StartDaemon()
    {
        Daemon::Options options = DaemonWithEmulatedKeyboard(*m_pulse, TONVIK_FAKE_HID_DIR, m_dir + "/hid.log");
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
        if (m_tonePlays) {
            return;
        }
        m_pulse->WaitUntilSettled();
        const pid_t player = m_pulse->Spawn(m_pulse->PlayCommand("tonvik_a", 60.0));
        ASSERT_GT(player, 0) << "pacat did not start";
        m_player = Player(player);
        m_tonePlays = true;
    }

    void StartHost()
    {
        m_host = std::make_unique<ConsoleServer>();
        ASSERT_TRUE(m_host->Start(TONVIK_SOURCE_DIR, m_dir + "/config")) << "tonvik-host did not start";
    }

    // Whether the keyboard takes frames within the time, written after `sinceUs`.
    bool KeyboardLitWithin(uint64_t sinceUs, int timeoutMs) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            for (const FakeHidEvent& event : ReadFakeHidLog(m_dir + "/hid.log")) {
                if (event.kind == "write" && event.ok && event.us >= sinceUs) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < deadline);
        return false;
    }

    std::string Conf() const { return ReadFile(m_dir + "/config/tonvik/host.conf"); }

    std::string m_dir;
    std::unique_ptr<PulseServer> m_pulse;
    Player m_player;
    bool m_tonePlays = false;  // for longer than the test runs
    Browser m_browser;
    std::unique_ptr<Daemon> m_daemon;
    std::unique_ptr<ConsoleServer> m_host;
};

TEST_F(FirstRun, TheLayoutChosenOnTheConsolesFirstStepIsKeptAndLightsTheKeyboard)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    Json::Value settings;
    ASSERT_TRUE(Json::Reader().parse(Get(m_host->Port(), "/api/settings").body, settings)) << m_host->Log();
    EXPECT_TRUE(settings["layout"].isNull()) << settings;
    EXPECT_FALSE(settings["layouts"].empty()) << "no bundled layout to choose from: " << settings;

    Browser::Page page;
    ASSERT_TRUE(m_browser.Open(m_host->Url(), page)) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor(page,
                                  "!document.getElementById('first-step').hidden && "
                                  "document.getElementById('first-step').textContent.includes("
                                  "\"Choose your keyboard's layout\") && "
                                  "document.getElementById('effect-controls').disabled && "
                                  "document.getElementById('view-controls').disabled && "
                                  "!document.getElementById('layout-picker').disabled && "
                                  "document.body.dataset.state === 'no-layout'",
                                  10000))
        << m_browser.Evaluate(page, kStatus) << "\n" << m_host->Log();
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('keeping').textContent").asString(),
              "Your choices are saved by tonvik-host and kept across restarts.");
    EXPECT_FALSE(fs::exists(m_dir + "/config/tonvik/host.conf"));
    EXPECT_FALSE(KeyboardLitWithin(0, 1000)) << "frames before a layout was chosen";
    EXPECT_TRUE(m_browser.Screenshot(page, std::string(TONVIK_WEB_ARTEFACTS) + "/console-first-step.png"))
        << m_browser.Error();

    const uint64_t chosen = NowUs();
    ASSERT_TRUE(m_browser.Evaluate(page, "(() => { const picker = document.getElementById('layout-picker'); "
                                         "picker.value = 'ansi-60'; picker.dispatchEvent(new Event('change')); "
                                         "return true; })()")
                    .asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, std::string(kStatus) + ".includes('Saved')", 10000))
        << m_browser.Evaluate(page, kStatus) << "\n" << m_host->Log();
    const std::string conf = Conf();
    EXPECT_EQ(conf.rfind("# Tonvik host settings", 0), 0u) << conf;
    for (const char* key : {"layout", "mode", "sensitivity", "background", "brightness", "port"}) {
        EXPECT_NE(conf.find(std::string("#   ") + key + " "), std::string::npos) << "the header names no " << key;
    }
    EXPECT_TRUE(conf.ends_with("\nlayout = ansi-60\n")) << conf;
    struct stat file {};
    ASSERT_EQ(::stat((m_dir + "/config/tonvik/host.conf").c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_TRUE(KeyboardLitWithin(chosen, 5000)) << m_host->Log();

    // The rest of the console opens, and the status line says what the daemon found.
    EXPECT_TRUE(m_browser.WaitFor(page,
                                  "document.getElementById('first-step').hidden && "
                                  "!document.getElementById('effect-controls').disabled && "
                                  "document.body.dataset.state === 'running' && "
                                  "document.getElementById('found').textContent.startsWith("
                                  "'Keyboard 320F:5055 found · recording ') && "
                                  "document.getElementById('found').textContent.endsWith(' · sound playing')",
                                  10000))
        << m_browser.Evaluate(page, kStatus) << "\n"
        << m_browser.Evaluate(page, "document.getElementById('found').textContent");
    ASSERT_TRUE(m_browser.Close(page));

    // Both restart, as after a reboot: lit again with no console open.
    m_host.reset();
    m_daemon.reset();
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const uint64_t restarted = NowUs();
    EXPECT_TRUE(KeyboardLitWithin(restarted, 10000)) << m_host->Log();
    EXPECT_EQ(Conf(), conf);
}

TEST_F(FirstRun, ABundledLayoutChosenWhileNoDaemonAnswersGoesUpWhenOneAppears)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const std::string host = "127.0.0.1:" + std::to_string(m_host->Port());
    const std::string change = R"({"layout": "ansi-60"})";
    const HttpReply saved = SplitReply(Exchange(
        m_host->Port(), "POST /api/settings HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(change.size()) +
                            "\r\n\r\n" + change));
    EXPECT_EQ(saved.head.rfind("HTTP/1.1 200 OK", 0), 0u) << saved.raw;
    EXPECT_TRUE(Conf().ends_with("\nlayout = ansi-60\n")) << Conf();

    const uint64_t started = NowUs();
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_TRUE(KeyboardLitWithin(started, 10000)) << m_host->Log();
    Json::Value effect;
    ASSERT_TRUE(Json::Reader().parse(Get(m_daemon->Port(), "/api/keyboard/musiceffect").body, effect));
    size_t coded = 0;
    for (const auto& key : effect["keys"]) {
        coded += key["keyCode"].asInt() > 0 ? 1 : 0;
    }
    EXPECT_EQ(coded, 61u) << "the keys of ansi-60";
}

}  // namespace
