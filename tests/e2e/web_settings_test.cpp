// The console served by a tonvik-host that keeps the user's choices, in a
// real browser, against the real daemon on the emulated keyboard: what is
// chosen lands in host.conf (its comments kept), survives a restart of the
// host and the daemon, and is not undone while they run; an uploaded layout
// is stored, a rejected one is not, and a stored one no longer in use can be
// removed; pages from elsewhere change nothing.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/browser.h"
#include "e2e/console_server.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The stored layouts: the files in the configuration's layouts/.
std::vector<fs::path> StoredLayouts(const std::string& dir)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) {
        files.push_back(entry.path());
    }
    return files;
}

// Picks a value in a <select> of the page, as a user does.
std::string Choose(const std::string& id, const std::string& value)
{
    return "(() => { const control = document.getElementById('" + id + "'); control.value = '" + value +
           "'; control.dispatchEvent(new Event('change')); return true; })()";
}

constexpr char kSaved[] = "document.getElementById('status').textContent.includes('Saved')";

class WebSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* custom = std::getenv("TONVIK_DAEMON_CMD"); custom != nullptr && custom[0] != '\0') {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        char pattern[] = "/tmp/tonvik-settings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        fs::create_directories(m_dir + "/config/tonvik");
        fs::create_directories(TONVIK_WEB_ARTEFACTS);
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error() << "\n" << m_browser.Log();
    }

    void TearDown() override
    {
        m_host.reset();
        m_daemon.reset();
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    // Recording from the sound server when one is given.
    void StartDaemon(const PulseServer* pulse = nullptr)
    {
        Daemon::Options options;
        std::string libraryPath = TONVIK_FAKE_HID_DIR;
        if (const char* inherited = std::getenv("LD_LIBRARY_PATH"); inherited != nullptr && inherited[0] != '\0') {
            libraryPath += std::string(":") + inherited;
        }
        options.env = {{"LD_LIBRARY_PATH", libraryPath}, {"TONVIK_FAKE_HID_LOG", m_dir + "/hid.log"}};
        if (pulse != nullptr) {
            // The daemon's runtime directory is the server's, given as such.
            for (const auto& entry : pulse->ClientEnv()) {
                if (entry.first != "XDG_RUNTIME_DIR") {
                    options.env.push_back(entry);
                }
            }
            options.runtimeDir = pulse->RuntimeDir();
        }
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
    }

    void StartHost()
    {
        m_host = std::make_unique<ConsoleServer>();
        ASSERT_TRUE(m_host->Start(TONVIK_SOURCE_DIR, m_dir + "/config")) << "tonvik-host did not start";
    }

    // Opens the console and waits until it shows the host's settings and lights the keys.
    void OpenConsole(Browser::Page& page)
    {
        ASSERT_TRUE(m_browser.Open(m_host->Url(), page)) << m_browser.Error();
        ASSERT_TRUE(m_browser.WaitFor(page,
                                      "document.getElementById('keeping').textContent.includes('saved by tonvik-host')"
                                      " && document.body.dataset.state === 'running' && "
                                      "document.querySelectorAll('#keyboard .key').length > 0",
                                      10000))
            << Status(page) << "\n" << m_host->Log();
    }

    std::string Status(const Browser::Page& page)
    {
        return m_browser.Evaluate(page, "document.getElementById('status').textContent").asString();
    }

    std::string Conf() const { return ReadFile(m_dir + "/config/tonvik/host.conf"); }
    std::string StoredDir() const { return m_dir + "/config/tonvik/layouts"; }

    // Waits until the daemon runs the mode with that many keys of a layout (with a key code); the start of its
    // last reply when it never does.
    bool DaemonRuns(int mode, size_t keys, std::string& last)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        do {
            last = Get(m_daemon->Port(), "/api/keyboard/musiceffect").body;
            Json::Value reply;
            size_t coded = 0;
            if (Json::Reader().parse(last, reply)) {
                for (const auto& key : reply["keys"]) {
                    coded += key["keyCode"].asInt() > 0 ? 1 : 0;
                }
            }
            if (reply["mode"].asInt() == mode && coded == keys) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < deadline);
        last = last.substr(0, 200);
        return false;
    }

    std::string m_dir;
    Browser m_browser;
    std::unique_ptr<Daemon> m_daemon;
    std::unique_ptr<ConsoleServer> m_host;
};

TEST_F(WebSettings, ChoicesLandInHostConfAndComeBackAfterARestart)
{
    WriteFile(m_dir + "/config/tonvik/host.conf", "# my keyboard\nlayout = ansi-60\n\n# calm colours\nmode = 7\n");
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    std::string last;
    ASSERT_TRUE(DaemonRuns(7, 61, last)) << last << "\n" << m_host->Log();
    Browser::Page page;
    ASSERT_NO_FATAL_FAILURE(OpenConsole(page));
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('mode').value").asString(), "7");

    ASSERT_TRUE(m_browser.Evaluate(page, Choose("layout-picker", "ansi-104")).asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, kSaved, 10000)) << Status(page) << "\n" << m_host->Log();
    ASSERT_TRUE(m_browser.Evaluate(page, Choose("mode", "2")).asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, kSaved, 10000)) << Status(page) << "\n" << m_host->Log();
    EXPECT_EQ(Conf(), "# my keyboard\nlayout = ansi-104\n\n# calm colours\nmode = 2\n");
    EXPECT_TRUE(DaemonRuns(2, 104, last)) << last;
    // The host, the one front-end writing to the daemon, does not undo it.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(DaemonRuns(2, 104, last)) << last;

    // The full-size board drawn in place: a 6.25-unit space bar, 2.25-unit
    // left shift, and the arrows apart from the letters.
    ASSERT_TRUE(m_browser.WaitFor(page, "document.querySelectorAll('#keyboard.placed .key').length === 104", 5000));
    const Json::Value sizes = m_browser.Evaluate(page, R"((() => {
        const key = (code) => [...document.querySelectorAll('#keyboard .key')]
            .find((k) => k.title.includes(`code ${code},`)).getBoundingClientRect();
        const unit = key(4).width;
        return [key(44).width / unit, key(225).width / unit, (key(80).left - key(228).right) / unit];
    })())");
    EXPECT_NEAR(sizes[0].asDouble(), 6.25, 0.05) << sizes;
    EXPECT_NEAR(sizes[1].asDouble(), 2.25, 0.05) << sizes;
    EXPECT_NEAR(sizes[2].asDouble(), 0.25, 0.05) << "the gap before the arrows: " << sizes;
    EXPECT_TRUE(m_browser.Screenshot(page, std::string(TONVIK_WEB_ARTEFACTS) + "/console-full-size.png"))
        << m_browser.Error();
    ASSERT_TRUE(m_browser.Close(page));

    // A restart of both, as after a reboot: the same choices, applied and shown.
    m_host.reset();
    m_daemon.reset();
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    EXPECT_TRUE(DaemonRuns(2, 104, last)) << last << "\n" << m_host->Log();
    ASSERT_NO_FATAL_FAILURE(OpenConsole(page));
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('layout-picker').value").asString(), "ansi-104");
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('mode').value").asString(), "2");
    EXPECT_EQ(m_host->Log().find("another front-end"), std::string::npos) << m_host->Log();
}

TEST_F(WebSettings, UploadedLayoutsAreStoredRejectedOnesAreNotAndOtherPagesChangeNothing)
{
    WriteFile(m_dir + "/config/tonvik/host.conf", "layout = ansi-60\n");
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    Browser::Page page;
    ASSERT_NO_FATAL_FAILURE(OpenConsole(page));

    const std::string mine = ReadFile(TONVIK_HOST_TEST_DIR "/test_layout.json");
    WriteFile(m_dir + "/mine.json", mine);
    ASSERT_TRUE(m_browser.SetFiles(page, "#layout-file", m_dir + "/mine.json")) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor(page, "document.getElementById('status').textContent.includes('stored and in use')",
                                  10000))
        << Status(page) << "\n" << m_host->Log();
    std::vector<fs::path> stored = StoredLayouts(StoredDir());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(ReadFile(stored[0]), mine);
    const std::string conf = "layout = layouts/" + stored[0].filename().string() + "\n";
    EXPECT_EQ(Conf(), conf);
    std::string last;
    EXPECT_TRUE(DaemonRuns(19, 19, last)) << last;

    // A layout the daemon rejects: its reason shown, nothing stored, nothing changed.
    WriteFile(m_dir + "/broken.json", R"({"name": "broken", "layouts": {"rows": "six", "cols": 21}})");
    ASSERT_TRUE(m_browser.SetFiles(page, "#layout-file", m_dir + "/broken.json")) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor(
        page, "document.getElementById('status').textContent.includes('The layout was not taken: layout rejected')",
        10000))
        << Status(page);
    EXPECT_EQ(StoredLayouts(StoredDir()).size(), 1u);
    EXPECT_EQ(Conf(), conf);
    EXPECT_TRUE(DaemonRuns(19, 19, last)) << "the stored layout is not back: " << last;

    // Requests a page from elsewhere could make: refused, and nothing changes.
    const std::string port = std::to_string(m_host->Port());
    const std::string ours = "Host: 127.0.0.1:" + port + "\r\n";
    const std::string change = R"({"mode": 3})";
    const auto post = [&](const std::string& path, const std::string& headers) {
        return "POST " + path + " HTTP/1.1\r\n" + headers + "Content-Type: application/json\r\nContent-Length: " +
               std::to_string(change.size()) + "\r\n\r\n" + change;
    };
    for (const std::string& request : {
             post("/api/settings", ours + "Origin: http://evil.example\r\n"),
             post("/api/settings", ours),
             post("/api/settings", ours + "Origin: http://127.0.0.1:" + port + ".evil.example\r\n"),
             post("/api/settings", "Host: evil.example:" + port + "\r\nOrigin: http://evil.example:" + port + "\r\n"),
             post("/api/layouts", ours + "Origin: null\r\n"),
             std::string("GET /api/settings HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n"),
             std::string("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n"),
         }) {
        const HttpReply reply = SplitReply(Exchange(m_host->Port(), request));
        EXPECT_EQ(reply.head.rfind("HTTP/1.1 403 ", 0), 0u) << request << "\n" << reply.raw;
    }
    EXPECT_EQ(Conf(), conf);
    EXPECT_EQ(StoredLayouts(StoredDir()).size(), 1u);
    EXPECT_TRUE(DaemonRuns(19, 19, last)) << last;

    // After a restart the stored layout is the one in use.
    ASSERT_TRUE(m_browser.Close(page));
    m_host.reset();
    m_daemon.reset();
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    EXPECT_TRUE(DaemonRuns(19, 19, last)) << last << "\n" << m_host->Log();

    // Removed from the console once it is no longer in use.
    ASSERT_NO_FATAL_FAILURE(OpenConsole(page));
    const std::string button = "document.querySelector('#stored-list button')";
    EXPECT_TRUE(m_browser.Evaluate(page, button + ".disabled").asBool()) << "the layout in use offered for removal";
    ASSERT_TRUE(m_browser.Evaluate(page, Choose("layout-picker", "ansi-60")).asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, kSaved, 10000)) << Status(page);
    ASSERT_TRUE(m_browser.WaitFor(page, "!" + button + ".disabled", 5000));
    ASSERT_TRUE(m_browser.Evaluate(page, "(() => { " + button + ".click(); return true; })()").asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, "document.getElementById('status').textContent.includes('Removed')", 10000))
        << Status(page) << "\n" << m_host->Log();
    EXPECT_TRUE(StoredLayouts(StoredDir()).empty());
    EXPECT_TRUE(m_browser.Evaluate(page, "document.getElementById('stored-layouts').hidden").asBool());
    EXPECT_EQ(Conf(), "layout = ansi-60\n");
}

// "Listen to" lists the applications playing (the list follows them while
// the page is open), and a choice lands in host.conf and reaches the daemon.
TEST_F(WebSettings, ListenToListsTheAppsPlayingAndAChoiceLandsInHostConf)
{
    PulseServer pulse({"tonvik_a"});
    ASSERT_TRUE(pulse.Start()) << "sound server did not start";
    WriteFile(m_dir + "/config/tonvik/host.conf", "layout = ansi-60\n");
    ASSERT_NO_FATAL_FAILURE(StartDaemon(&pulse));
    ASSERT_NO_FATAL_FAILURE(StartHost());
    Browser::Page page;
    ASSERT_NO_FATAL_FAILURE(OpenConsole(page));
    const std::string options = "[...document.getElementById('listen').options].map((o) => o.text).join('|')";
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('listen').value").asString(), "default");

    Player music(pulse.Spawn(pulse.PlayCommand("tonvik_a", 20.0, "Music")));
    ASSERT_TRUE(m_browser.WaitFor(page, options + ".includes('App: Music')", 6000))
        << m_browser.Evaluate(page, options).asString();
    EXPECT_TRUE(m_browser.Evaluate(page, options + ".startsWith('Everything you hear|Output: tonvik_a (default)|')")
                    .asBool())
        << m_browser.Evaluate(page, options).asString();
    EXPECT_TRUE(m_browser.Screenshot(page, std::string(TONVIK_WEB_ARTEFACTS) + "/console-listen-to.png"))
        << m_browser.Error();

    ASSERT_TRUE(m_browser.Evaluate(page, Choose("listen", "app:Music")).asBool());
    ASSERT_TRUE(m_browser.WaitFor(page, kSaved, 10000)) << Status(page) << "\n" << m_host->Log();
    EXPECT_EQ(Conf(), "layout = ansi-60\nlisten = app:Music\n");
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::string current;
    while (current.find(R"("current":"app:Music")") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        current = Get(m_daemon->Port(), "/api/audio/source").body;
    }
    EXPECT_NE(current.find(R"("current":"app:Music")"), std::string::npos) << current << "\n" << m_host->Log();

    // Music gone, the choice stays, shown as not playing.
    music.Kill();
    EXPECT_TRUE(m_browser.WaitFor(page, options + ".includes('App: Music (not playing)')", 6000))
        << m_browser.Evaluate(page, options).asString();
    EXPECT_EQ(m_browser.Evaluate(page, "document.getElementById('listen').value").asString(), "app:Music");
    m_host.reset();
    m_daemon.reset();
}

}  // namespace
