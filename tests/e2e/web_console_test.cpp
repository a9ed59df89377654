// The web console in a real browser, against the real daemon on the emulated
// keyboard with a tone playing: what a user sees, and what the keyboard gets
// while the page is open, hidden and after it is closed.
#include <gtest/gtest.h>
#include <json/json.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "device/fake_hid_log.h"
#include "e2e/browser.h"
#include "e2e/console_server.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

uint64_t NowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The drawn keys: "row,col" to the colour of the square, as the page shows it.
const char kDrawnColours[] = R"(Object.fromEntries([...document.querySelectorAll('#keyboard .key')].map((key) => {
    const [r, g, b] = getComputedStyle(key).backgroundColor.match(/\d+/g).map(Number);
    return [`${key.dataset.row},${key.dataset.col}`,
            '#' + [r, g, b].map((v) => v.toString(16).padStart(2, '0').toUpperCase()).join('')];
})))";

std::map<std::string, std::string> ToMap(const Json::Value& object)
{
    std::map<std::string, std::string> map;
    for (const auto& name : object.getMemberNames()) {
        map[name] = object[name].asString();
    }
    return map;
}

// The colours of the keys with a code in an effect reply, keyed like kDrawnColours.
std::map<std::string, std::string> ReportedColours(const std::string& body)
{
    Json::Value reply;
    Json::Reader().parse(body, reply);
    std::map<std::string, std::string> colours;
    for (const auto& key : reply["keys"]) {
        if (key["keyCode"].asInt() > 0) {
            colours[std::to_string(key["row"].asInt()) + "," + std::to_string(key["col"].asInt())] =
                key["color"].asString();
        }
    }
    return colours;
}

// Per-key colour packets the emulated keyboard took, after the given time.
size_t KeyPacketsAfter(const std::vector<FakeHidEvent>& events, uint64_t afterUs)
{
    size_t count = 0;
    for (const auto& event : events) {
        count += event.kind == "write" && event.ok && event.us > afterUs && event.bytes.size() == 65 &&
                 event.bytes[1] == 0xAA && event.bytes[2] == 0x32;
    }
    return count;
}

// Waits until the keyboard has taken two whole frames of 104 keys (eight
// packets each) since the given time.
bool KeyboardLitAfter(const std::string& log, uint64_t afterUs)
{
    const uint64_t end = NowUs() + 3000000u;
    while (KeyPacketsAfter(ReadFakeHidLog(log), afterUs) < 16) {
        if (NowUs() > end) {
            return false;
        }
        SleepMs(50);
    }
    return true;
}

class WebConsole : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* custom = std::getenv("TONVIK_DAEMON_CMD"); custom != nullptr && custom[0] != '\0') {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        char pattern[] = "/tmp/tonvik-web-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        std::filesystem::create_directories(TONVIK_WEB_ARTEFACTS);
        ASSERT_TRUE(m_pulse.Start()) << "the PulseAudio test server did not start; see " << m_pulse.RuntimeDir();
        ASSERT_TRUE(m_server.StartPlain(TONVIK_SOURCE_DIR)) << "the static file server did not start";
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error() << "\n" << m_browser.Log();
    }

    // The player ends before the daemon, the daemon before its sound server.
    void TearDown() override
    {
        m_player.Kill();
        m_daemon.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // The daemon on the emulated keyboard, recording from the sound server.
    void StartDaemon()
    {
        Daemon::Options options;
        options.runtimeDir = m_pulse.RuntimeDir();
        options.env = m_pulse.ClientEnv();
        std::string libraryPath = TONVIK_FAKE_HID_DIR;
        if (const char* inherited = std::getenv("LD_LIBRARY_PATH"); inherited != nullptr && inherited[0] != '\0') {
            libraryPath += std::string(":") + inherited;
        }
        options.env.emplace_back("LD_LIBRARY_PATH", libraryPath);
        options.env.emplace_back("TONVIK_FAKE_HID_LOG", Log());
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
        // Start-up applies its default effect on one of the first lighting
        // ticks; the page's own parameters must come after that.
        const auto end = NowUs() + 10000000u;
        while (Get(m_daemon->Port(), "/api/keyboard/musiceffect").body.find(R"("mode":19,)") == std::string::npos &&
               NowUs() < end) {
            SleepMs(20);
        }
    }

    void PlayTone()
    {
        m_pulse.WaitUntilSettled();
        const pid_t player = m_pulse.Spawn(m_pulse.PlayCommand("tonvik_a", 20.0));
        ASSERT_GT(player, 0) << "pacat did not start";
        m_player = Player(player);
    }

    std::string Log() const { return m_dir + "/hid.log"; }
    std::string Status(const Browser::Page& page)
    {
        return m_browser.Evaluate(page, "document.getElementById('status').textContent").asString();
    }

    // Waits until the page draws the colours that the daemon reports for a
    // lit keyboard (each row of keys in its own colour, so at least three
    // colours); the last of both when that never happens.
    bool DrawsReportedColours(const Browser::Page& page, std::map<std::string, std::string>& drawn,
                              std::map<std::string, std::string>& reported)
    {
        const auto end = NowUs() + 8000000u;
        do {
            reported = ReportedColours(Get(m_daemon->Port(), "/api/keyboard/musiceffect").body);
            SleepMs(300);
            drawn = ToMap(m_browser.Evaluate(page, kDrawnColours));
            std::set<std::string> distinct;
            for (const auto& [key, colour] : reported) {
                distinct.insert(colour);
            }
            if (drawn == reported && reported.size() == 104 && distinct.size() >= 3) {
                return true;
            }
        } while (NowUs() < end);
        return false;
    }

    std::string m_dir;
    PulseServer m_pulse;
    ConsoleServer m_server;
    Browser m_browser;
    std::unique_ptr<Daemon> m_daemon;
    Player m_player;
};

TEST_F(WebConsole, LightsTheKeyboardWhileShownAndLetsItRestWhenHiddenOrClosed)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const uint16_t port = m_daemon->Port();
    // Bar style 2 colours each row of keys in a fixed colour, so what the page
    // draws can be compared with what the daemon reports.
    Browser::Page page;
    ASSERT_TRUE(m_browser.Open(m_server.Url("?port=" + std::to_string(port) + "&layout=ansi-104&mode=2"), page))
        << m_browser.Error();

    // In silence the layout is up and every key is black.
    ASSERT_TRUE(m_browser.WaitFor(page,
                                  "document.body.dataset.state === 'running' && "
                                  "document.querySelectorAll('#keyboard .key').length === 104 && "
                                  "[...document.querySelectorAll('#keyboard .key')].every("
                                  "(key) => key.dataset.color === '#000000')",
                                  8000))
        << Status(page) << "\n" << m_browser.Error();
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('layout-picker').value").asString(), "ansi-104");
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('mode').value").asString(), "2");
    // Served by what is no host, the page drives the daemon itself and says so.
    EXPECT_NE(m_browser.Evaluate(page, "document.getElementById('keeping').textContent").asString().find("not kept"),
              std::string::npos);

    ASSERT_NO_FATAL_FAILURE(PlayTone());
    const uint64_t toneStarted = NowUs();
    std::map<std::string, std::string> drawn;
    std::map<std::string, std::string> reported;
    EXPECT_TRUE(DrawsReportedColours(page, drawn, reported))
        << "the page never drew the lit keys the daemon reports; drawn " << drawn.size() << " keys, reported "
        << reported.size();

    EXPECT_TRUE(m_browser.WaitFor(page, R"(/^\d+\.\d %$/.test(document.getElementById('hw-cpu-load').textContent))",
                                  5000))
        << "the hardware panel shows no CPU load";
    EXPECT_TRUE(m_browser.Screenshot(page, std::string(TONVIK_WEB_ARTEFACTS) + "/console-lit.png"))
        << m_browser.Error();
    EXPECT_TRUE(KeyboardLitAfter(Log(), toneStarted)) << "the keyboard got no frames while the page was open";

    // The amplitude view: a live meter and no lighting; back on the keyboard
    // view the layout goes up again and frames flow.
    ASSERT_TRUE(m_browser.Evaluate(page, "document.querySelector('input[value=amplitude]').click(), true").asBool());
    EXPECT_TRUE(m_browser.WaitFor(page, "Number(document.getElementById('amplitude-value').textContent) > 0", 3000))
        << "the meter stayed at 0 with a tone playing";
    const uint64_t metered = NowUs();
    SleepMs(1000);
    EXPECT_EQ(KeyPacketsAfter(ReadFakeHidLog(Log()), metered + 200000u), 0u) << "lit in the amplitude view";
    ASSERT_TRUE(m_browser.Evaluate(page, "document.querySelector('input[value=keyboard]').click(), true").asBool());
    EXPECT_TRUE(DrawsReportedColours(page, drawn, reported)) << "the keys stayed dark after the amplitude view";
    EXPECT_EQ(reported.size(), 104u);

    EXPECT_TRUE(KeyboardLitAfter(Log(), metered + 1000000u)) << "frames did not resume after the amplitude view";

    // Hidden behind another tab the page stops polling, so the keyboard
    // rests; in front again, it is lit again.
    Browser::Page other;
    ASSERT_TRUE(m_browser.Open("about:blank", other) && m_browser.Activate(other)) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor(page, "document.visibilityState === 'hidden'", 3000));
    const uint64_t hidden = NowUs();
    SleepMs(1600);
    EXPECT_EQ(KeyPacketsAfter(ReadFakeHidLog(Log()), hidden + 1100000u), 0u)
        << "the keyboard was still written 1.1 s after the page was hidden";
    ASSERT_TRUE(m_browser.Activate(page)) << m_browser.Error();
    EXPECT_TRUE(KeyboardLitAfter(Log(), NowUs())) << "frames did not resume when the page was shown again";

    // A daemon that has lost the layout (as one restarted between two polls
    // has) gets it again.
    const HttpReply lost = Get(port, "/api/keyboard/musiceffect/layout?layout=" +
                                         std::string(R"({"layouts":{"rows":6,"cols":21,"keys":[]}})"));
    ASSERT_EQ(lost.body, R"({"status": "layout received via GET"})");
    EXPECT_TRUE(DrawsReportedColours(page, drawn, reported)) << "the layout was not uploaded again";

    const uint64_t closed = NowUs();
    ASSERT_TRUE(m_browser.Close(page)) << m_browser.Error();
    SleepMs(1600);
    EXPECT_EQ(KeyPacketsAfter(ReadFakeHidLog(Log()), closed + 1100000u), 0u)
        << "the keyboard was still written 1.1 s after the page was closed";
}

}  // namespace
