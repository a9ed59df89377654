// tonvik-host against the real daemon on the emulated keyboard, with a
// PulseAudio tone so that frames go out; and its web server on its own.
#include <gtest/gtest.h>
#include <json/json.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/fake_hid_log.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"
#include "e2e/spawn.h"
#include "host/host_process.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

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

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Accepted per-key packets (the 0xAA 0x32 reports) written at or after `fromUs`.
size_t KeyPacketsSince(const std::vector<FakeHidEvent>& events, uint64_t fromUs, uint64_t toUs = UINT64_MAX)
{
    size_t packets = 0;
    for (const auto& event : events) {
        if (event.kind == "write" && event.ok && event.bytes.size() == 65 && event.bytes[1] == 0xAA &&
            event.bytes[2] == 0x32 && event.us >= fromUs && event.us < toUs) {
            ++packets;
        }
    }
    return packets;
}

bool UsesEmulatedKeyboard()
{
    const char* custom = std::getenv("TONVIK_DAEMON_CMD");
    return custom == nullptr || custom[0] == '\0';
}

// The real daemon on the emulated keyboard, recording a private sound server
// that plays a steady tone, and tonvik-host with a host.conf of the test's.
class HostE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!UsesEmulatedKeyboard()) {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        ASSERT_FALSE(m_dir.Path().empty());
        m_log = m_dir.Path() + "/hid.log";
        std::filesystem::create_directories(m_dir.Path() + "/config/tonvik");
        std::filesystem::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", m_dir.Path() + "/config/tonvik/board.json");
        // Bar style 2 keeps each row of keys in one fixed colour.
        WriteFile(m_dir.Path() + "/config/tonvik/host.conf", "layout = board.json\nmode = 7\nsensitivity = 60\n");
        m_pulse = std::make_unique<PulseServer>();
        ASSERT_TRUE(m_pulse->Start()) << "the PulseAudio test server did not start; see " << m_pulse->RuntimeDir();
    }

    // The host first, the tone, then the daemon, then its sound server.
    void TearDown() override
    {
        m_host.reset();
        m_player.Kill();
        m_daemon.reset();
        m_pulse.reset();
    }

    void StartDaemon()
    {
        Daemon::Options options;
        options.runtimeDir = m_pulse->RuntimeDir();
        options.env = m_pulse->ClientEnv();
        std::erase_if(options.env, [](const auto& entry) { return entry.first == "XDG_RUNTIME_DIR"; });
        std::string libraryPath = TONVIK_FAKE_HID_DIR;
        if (const char* inherited = std::getenv("LD_LIBRARY_PATH"); inherited != nullptr && inherited[0] != '\0') {
            libraryPath += std::string(":") + inherited;
        }
        options.env.insert(options.env.end(), {{"LD_LIBRARY_PATH", libraryPath}, {"TONVIK_FAKE_HID_LOG", m_log}});
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
    }

    void StartTone()
    {
        m_pulse->WaitUntilSettled();
        const pid_t player = m_pulse->Spawn(m_pulse->PlayCommand("tonvik_a", 30.0));
        ASSERT_GT(player, 0) << "pacat did not start";
        m_player = Player(player);
    }

    Env HostEnv() const { return {{"XDG_CONFIG_HOME", m_dir.Path() + "/config"}}; }

    void StartHost(const std::vector<std::string>& args)
    {
        m_host = std::make_unique<HostProcess>(args, HostEnv(), m_dir.Path());
        ASSERT_TRUE(m_host->Started());
    }

    std::vector<FakeHidEvent> Events() const { return ReadFakeHidLog(m_log); }

    TempDir m_dir;
    std::string m_log;
    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<Daemon> m_daemon;
    Player m_player;
    std::unique_ptr<HostProcess> m_host;
};

TEST_F(HostE2E, FramesFlowWhileTheHostRunsAndStopAfterItExits)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartTone());
    SleepMs(1500);
    EXPECT_EQ(KeyPacketsSince(Events(), 0), 0u) << "frames before any host polled";

    // host.conf names the layout and mode 7; the command line's mode wins.
    ASSERT_NO_FATAL_FAILURE(StartHost({"--mode", "2", "--port", std::to_string(m_daemon->Port())}));
    ASSERT_TRUE(m_host->WaitForLog("lighting on", 10000)) << m_host->Err();
    const uint64_t lit = NowUs();
    SleepMs(3000);
    EXPECT_GE(KeyPacketsSince(Events(), lit), 30u) << "about 60 frames a second while the host polls";

    const Json::Value reply = [&] {
        Json::Value root;
        Json::Reader().parse(Get(m_daemon->Port(), "/api/keyboard/musiceffect").body, root);
        return root;
    }();
    EXPECT_EQ(reply["mode"].asInt(), 2);
    EXPECT_EQ(reply["keys"].size(), 6u * 21u) << "the layout of host.conf";

    const int status = m_host->Stop();
    const uint64_t stopped = NowUs();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    SleepMs(2000);
    EXPECT_EQ(KeyPacketsSince(Events(), stopped + 1100000), 0u) << "frames went on after the host stopped";
    EXPECT_EQ(MissingInOrder(m_host->Err(), {"tonvik-host: starting version", "found the daemon on port " +
                                             std::to_string(m_daemon->Port()), "accepted the layout", "lighting on: mode 2",
                                             "stopping on SIGTERM", "tonvik-host: stopped"}),
              "")
        << m_host->Err();
}

TEST_F(HostE2E, AfterADaemonRestartTheLayoutGoesUpAgainAndFramesFlow)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartTone());
    ASSERT_NO_FATAL_FAILURE(StartHost({}));
    ASSERT_TRUE(m_host->WaitForLog("lighting on", 10000)) << m_host->Err();

    m_daemon.reset();
    ASSERT_TRUE(m_host->WaitForLog("lost the daemon", 5000)) << m_host->Err();
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_TRUE(m_host->WaitForLog("found the daemon again", 10000)) << m_host->Err();
    const size_t again = m_host->Err().find("found the daemon again");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (m_host->Err().find("lighting on", again) == std::string::npos && Clock::now() < deadline) {
        SleepMs(50);
    }
    ASSERT_NE(m_host->Err().find("lighting on", again), std::string::npos) << m_host->Err();
    const uint64_t relit = NowUs();
    SleepMs(2000);
    EXPECT_GE(KeyPacketsSince(Events(), relit), 20u) << "no frames after the restart";
    EXPECT_EQ(m_daemon->Stderr().find("error"), std::string::npos) << m_daemon->Stderr();
}

// Reads what a child on a pseudo-terminal writes for the given time.
std::string ReadTerminal(int master, int forMs)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forMs);
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd entry{master, POLLIN, 0};
        if (::poll(&entry, 1, 50) > 0) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    return text;
}

TEST_F(HostE2E, PreviewInATerminalPaintsTheReportedKeyColours)
{
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartTone());
    int master = -1;
    const std::string config = m_dir.Path() + "/config";
    const std::string port = std::to_string(m_daemon->Port());
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ::execl(TONVIK_HOST_PATH, TONVIK_HOST_PATH, "--preview", "--mode", "2", "--port", port.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string screen = ReadTerminal(master, 4000);
    ::kill(pid, SIGTERM);
    const std::string ending = ReadTerminal(master, 1000);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);

    std::set<std::string> reported;
    Json::Value reply;
    ASSERT_TRUE(Json::Reader().parse(Get(m_daemon->Port(), "/api/keyboard/musiceffect").body, reply));
    for (const auto& key : reply["keys"]) {
        if (key["keyCode"].asInt() > 0) {
            const unsigned long rgb = std::stoul(key["color"].asString().substr(1), nullptr, 16);
            reported.insert(std::to_string(rgb >> 16 & 0xFF) + ";" + std::to_string(rgb >> 8 & 0xFF) + ";" +
                            std::to_string(rgb & 0xFF));
        }
    }
    const std::regex paint("\x1b\\[48;2;([0-9]+;[0-9]+;[0-9]+)m");
    std::set<std::string> painted;
    for (auto it = std::sregex_iterator(screen.begin(), screen.end(), paint); it != std::sregex_iterator(); ++it) {
        painted.insert((*it)[1]);
    }
    size_t shared = 0;
    for (const auto& colour : painted) {
        shared += reported.count(colour);
    }
    EXPECT_GE(shared, 3u) << "the preview does not show the colours the daemon reports";
    EXPECT_EQ(painted.count("0;0;0") == painted.size(), false) << "only black keys";
    EXPECT_NE(screen.find("mode 2, 126 keys"), std::string::npos);
    EXPECT_NE(ending.find("\x1b[?25h"), std::string::npos) << "the cursor is shown again at the end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The web server alone: raw requests over loopback.
TEST(HostWebE2E, ServesTheConsoleAndTheLayoutsAndNothingElse)
{
    TempDir dir;
    const std::string root = dir.Path() + "/tree";
    std::filesystem::create_directories(root + "/web/js");
    std::filesystem::create_directories(root + "/layouts");
    WriteFile(root + "/web/index.html", "<!doctype html><title>console</title>");
    WriteFile(root + "/web/js/app.js", "export const a = 1;\n");
    WriteFile(root + "/layouts/tkl.json", R"({"name":"tkl"})");
    WriteFile(root + "/secret.json", R"({"secret":true})");
    std::filesystem::create_symlink(root + "/secret.json", root + "/web/leak.json");

    HostProcess host({"--web", "--web-root", root}, {{"XDG_CONFIG_HOME", dir.Path()}}, dir.Path());
    ASSERT_TRUE(host.WaitForLog("serving the web console", 5000)) << host.Err();
    std::smatch url;
    const std::string out = host.Out();
    ASSERT_TRUE(std::regex_search(out, url, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/"))) << out;
    const auto port = static_cast<uint16_t>(std::stoi(url[1]));
    EXPECT_TRUE(port <= 9190 && port >= 9100) << port;

    struct Case {
        std::string request;
        std::string status;
        std::string type;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1", "200 OK", "text/html; charset=utf-8", "<!doctype html><title>console</title>"},
        {"GET /js/app.js?v=1 HTTP/1.1", "200 OK", "text/javascript; charset=utf-8", "export const a = 1;\n"},
        {"GET /layouts/tkl.json HTTP/1.1", "200 OK", "application/json; charset=utf-8", R"({"name":"tkl"})"},
        {"HEAD /index.html HTTP/1.1", "200 OK", "text/html; charset=utf-8", ""},
        {"GET /../secret.json HTTP/1.1", "403 Forbidden", "text/plain; charset=utf-8", ""},
        {"GET /layouts/%2e%2e/secret.json HTTP/1.1", "403 Forbidden", "text/plain; charset=utf-8", ""},
        {"GET /leak.json HTTP/1.1", "404 Not Found", "text/plain; charset=utf-8", ""},
        {"GET /missing.html HTTP/1.1", "404 Not Found", "text/plain; charset=utf-8", ""},
        {"POST /index.html HTTP/1.1\r\nContent-Length: 0", "405 Method Not Allowed", "text/plain; charset=utf-8", ""},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1", "431 Request Header Fields Too Large", "text/plain; charset=utf-8", ""},
    };
    for (const Case& c : cases) {
        const HttpReply reply =
            SplitReply(Exchange(port, c.request + "\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"));
        EXPECT_EQ(reply.head.rfind("HTTP/1.1 " + c.status + "\r\n", 0), 0u) << c.request << "\n" << reply.head;
        EXPECT_NE(reply.head.find("Content-Type: " + c.type + "\r\n"), std::string::npos) << reply.head;
        if (c.status == "200 OK") {
            EXPECT_EQ(reply.body, c.body) << c.request;
        }
    }
    // A client that sends half a request and nothing more does not hold up the others.
    const int idle = ConnectLoopback(port);
    ASSERT_GE(idle, 0);
    EXPECT_EQ(Get(port, "/").head.rfind("HTTP/1.1 200 OK", 0), 0u);
    ::close(idle);

    const int status = host.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << host.Err();
}

// The console of this source tree as a browser fetches it: the page, its
// module script, its style and the bundled layouts it picks from.
TEST(HostWebE2E, ServesThisTreesConsole)
{
    TempDir dir;
    HostProcess host({"--web", "--web-root", TONVIK_SOURCE_DIR}, {{"XDG_CONFIG_HOME", dir.Path()}}, dir.Path());
    ASSERT_TRUE(host.WaitForLog("serving the web console", 5000)) << host.Err();
    std::smatch url;
    const std::string out = host.Out();
    ASSERT_TRUE(std::regex_search(out, url, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/"))) << out;
    const auto port = static_cast<uint16_t>(std::stoi(url[1]));
    for (const auto& [path, type] : std::vector<std::pair<std::string, std::string>>{
             {"/", "text/html"}, {"/main.js", "text/javascript"}, {"/console.css", "text/css"},
             {"/layouts/index.json", "application/json"}, {"/layouts/ansi-104.json", "application/json"}}) {
        const HttpReply reply = Get(port, path);
        EXPECT_EQ(reply.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << path << "\n" << reply.head;
        EXPECT_NE(reply.head.find("Content-Type: " + type), std::string::npos) << path << "\n" << reply.head;
        EXPECT_EQ(reply.body, ReadFile(std::string(TONVIK_SOURCE_DIR) + (path.starts_with("/layouts/") ? "" : "/web") +
                                       (path == "/" ? "/index.html" : path)))
            << path;
    }
}

// The Wine prefix's %APPDATA%\Tonvik as a Linux path, made as needed; empty when Wine says no APPDATA.
std::string PrefixSettingsDir()
{
    std::string appData = CommandOutput({"wine", "cmd", "/c", "echo", "%APPDATA%"}, 60000);
    appData = appData.substr(0, appData.find_first_of("\r\n"));
    std::string unixAppData = CommandOutput({"winepath", "-u", appData}, 60000);
    unixAppData = unixAppData.substr(0, unixAppData.find_first_of("\r\n"));
    if (unixAppData.empty()) {
        return {};
    }
    std::filesystem::create_directories(unixAppData + "/Tonvik");
    return unixAppData + "/Tonvik";
}

// Whatever happens in a launcher test, the launcher and the daemon it started
// end, and the settings the test wrote go.
struct LauncherCleanup {
    pid_t pid;
    std::string confDir;
    ~LauncherCleanup()
    {
        CommandOutput({"wine", "taskkill", "/im", "TonvikPlug.exe"}, 30000);
        const std::vector<std::string> stopDaemon = CommandFromEnv("TONVIK_DAEMON_STOP_CMD");
        if (!stopDaemon.empty()) {
            CommandOutput(stopDaemon, 30000);
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            SleepMs(50);
        }
        std::error_code ignored;
        std::filesystem::remove_all(confDir, ignored);
    }
};

// The daemon's port once it reports the test layout's 126 keys in the mode; 0 when none does within 90 s.
uint16_t WaitForLitDaemon(int mode, Json::Value& reply)
{
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    while (Clock::now() < deadline) {
        for (uint16_t port = 9191; port <= 9199; ++port) {
            const std::string body = Get(port, "/api/keyboard/musiceffect").body;
            if (Json::Reader().parse(body, reply) && reply["mode"].asInt() == mode && reply["keys"].size() == 126u) {
                return port;
            }
        }
        SleepMs(500);
    }
    return 0;
}

// The Windows launcher under Wine (the Windows leg sets TONVIK_PLUG_CMD):
// started as the logon task starts it, it starts Tonvik.exe and hosts it with
// the layout and effect of %APPDATA%\Tonvik\host.conf, and serves the console
// and its settings API, through which a change lands in that host.conf.
TEST(LauncherE2E, TheHiddenLauncherStartsTheDaemonLightsTheConfiguredLayoutAndServesTheSettings)
{
    const std::vector<std::string> launcher = CommandFromEnv("TONVIK_PLUG_CMD");
    if (launcher.empty()) {
        GTEST_SKIP() << "TONVIK_PLUG_CMD names no launcher (the Windows leg sets it)";
    }
    const std::string confDir = PrefixSettingsDir();
    ASSERT_FALSE(confDir.empty());
    std::filesystem::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", confDir + "/board.json",
                               std::filesystem::copy_options::overwrite_existing);
    WriteFile(confDir + "/host.conf", "layout = board.json\nmode = 5\n");

    TempDir dir;
    std::vector<std::string> argv = launcher;
    argv.push_back("-hide");
    const pid_t pid = SpawnProcess(argv, {}, dir.Path() + "/plug.out", dir.Path() + "/plug.err");
    ASSERT_GT(pid, 0);
    const LauncherCleanup cleanup{pid, confDir};

    // The daemon takes a while to come up under Wine; the launcher then
    // uploads the layout and sets mode 5, and keeps polling.
    Json::Value reply;
    const uint16_t found = WaitForLitDaemon(5, reply);
    ASSERT_NE(found, 0) << "no daemon lit with the configured layout; last reply: " << reply;
    size_t coded = 0;
    for (const auto& key : reply["keys"]) {
        coded += key["keyCode"].asInt() > 100 ? 1 : 0;
    }
    EXPECT_EQ(coded, 19u) << "the keys of the configured layout";
    // Still hosted a few seconds on: the launcher keeps polling.
    SleepMs(3000);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the launcher ended; status " << status;
    ASSERT_TRUE(Json::Reader().parse(Get(found, "/api/keyboard/musiceffect").body, reply));
    EXPECT_EQ(reply["mode"].asInt(), 5);
    EXPECT_EQ(reply["keys"].size(), 126u);

    // The console beside the launcher, on the first free port from 9190 down.
    uint16_t web = 0;
    for (uint16_t port = 9190; port >= 9180 && web == 0; --port) {
        const std::string settings = Get(port, "/api/settings").body;
        if (settings.find(R"(board.json","layoutName":"host test board")") != std::string::npos) {
            web = port;
        }
    }
    ASSERT_NE(web, 0) << "no settings API on 9180-9190; the launcher's log:\n"
                      << ReadFile(dir.Path() + "/plug.err");
    EXPECT_EQ(Get(web, "/").body, ReadFile(TONVIK_SOURCE_DIR "/web/index.html"));
    const std::string change = R"({"mode": 6})";
    const std::string host = "127.0.0.1:" + std::to_string(web);
    const HttpReply saved = SplitReply(Exchange(
        web, "POST /api/settings HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                 "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(change.size()) + "\r\n\r\n" +
                 change));
    EXPECT_EQ(saved.head.rfind("HTTP/1.1 200 OK", 0), 0u) << saved.raw;
    EXPECT_EQ(ReadFile(confDir + "/host.conf"), "layout = board.json\nmode = 6\n");
    const auto applied = Clock::now() + std::chrono::seconds(10);
    while (reply["mode"].asInt() != 6 && Clock::now() < applied) {
        SleepMs(200);
        Json::Reader().parse(Get(found, "/api/keyboard/musiceffect").body, reply);
    }
    EXPECT_EQ(reply["mode"].asInt(), 6) << "the change did not reach the daemon";
}

// The launcher's single instance and its notification icon's commands under
// Wine: a second launcher ends within 2 s and the first opens the console (the
// address it would open is recorded instead of a browser); "Pause lighting"
// leaves the daemon alone until it rests, "Resume lighting" wakes it, both
// kept in host.conf; "Start with Windows" removes and registers the logon task
// (Wine 8 registers no logon task, so the registration's result is its failure,
// as the launcher's log says); "Quit" ends the launcher and the daemon.
TEST(LauncherE2E, OneLauncherPerSessionAndItsIconsCommands)
{
    const std::vector<std::string> launcher = CommandFromEnv("TONVIK_PLUG_CMD");
    const std::vector<std::string> probe = CommandFromEnv("TONVIK_LAUNCHER_PROBE_CMD");
    if (launcher.empty() || probe.empty()) {
        GTEST_SKIP() << "TONVIK_PLUG_CMD and TONVIK_LAUNCHER_PROBE_CMD name no launcher (the Windows leg sets them)";
    }
    const std::string confDir = PrefixSettingsDir();
    ASSERT_FALSE(confDir.empty());
    std::filesystem::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", confDir + "/board.json",
                               std::filesystem::copy_options::overwrite_existing);
    WriteFile(confDir + "/host.conf", "layout = board.json\n");

    TempDir dir;
    const std::string urls = dir.Path() + "/urls";
    const Env env{{"TONVIK_TEST_BROWSER_LOG", "Z:" + urls}};
    std::vector<std::string> argv = launcher;
    argv.push_back("-hide");
    const pid_t pid = SpawnProcess(argv, env, dir.Path() + "/plug.out", dir.Path() + "/plug.err");
    ASSERT_GT(pid, 0);
    const LauncherCleanup cleanup{pid, confDir};
    Json::Value reply;
    const uint16_t daemon = WaitForLitDaemon(19, reply);
    ASSERT_NE(daemon, 0) << "no daemon lit with the configured layout; last reply: " << reply;
    const auto status = [daemon] {
        Json::Value parsed;
        Json::Reader().parse(Get(daemon, "/api/status").body, parsed);
        return parsed;
    };
    // Each condition asked once per try: a reaped process is not there to be asked again.
    const auto within = [](int ms, const std::function<bool()>& condition) {
        for (const auto deadline = Clock::now() + std::chrono::milliseconds(ms);; SleepMs(100)) {
            if (condition()) {
                return true;
            }
            if (Clock::now() > deadline) {
                return false;
            }
        }
    };
    const auto send = [&probe](const std::string& command) {
        std::vector<std::string> call = probe;
        call.push_back(command);
        const pid_t sender = SpawnProcess(call, {}, "/dev/null", "/dev/null");
        int exit = -1;
        ::waitpid(sender, &exit, 0);
        return WIFEXITED(exit) && WEXITSTATUS(exit) == 0;
    };
    EXPECT_TRUE(ReadFile(urls).empty()) << "hidden, the launcher opens nothing by itself";

    // A second launcher, as the Start-menu entry starts it.
    const auto started = Clock::now();
    const pid_t second = SpawnProcess(launcher, env, dir.Path() + "/second.out", dir.Path() + "/second.err");
    ASSERT_GT(second, 0);
    int secondStatus = 0;
    ASSERT_TRUE(within(2000, [&] { return ::waitpid(second, &secondStatus, WNOHANG) == second; }))
        << "the second launcher still runs after 2 s; its log:\n" << ReadFile(dir.Path() + "/second.err");
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0) << secondStatus;
    EXPECT_TRUE(within(2000, [&] { return !ReadFile(urls).empty(); })) << "the first did not open the console";
    const std::string url = ReadFile(urls);
    EXPECT_TRUE(std::regex_match(url, std::regex("http://127\\.0\\.0\\.1:91[0-9]{2}/\n"))) << url;
    std::printf("the second launcher ended and the first opened the console in %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                                           .count()));
    int running = 0;
    EXPECT_EQ(::waitpid(pid, &running, WNOHANG), 0) << "the first launcher ended";

    ASSERT_TRUE(send("double-click"));
    EXPECT_TRUE(within(2000, [&] { return ReadFile(urls) == url + url; })) << ReadFile(urls);

    ASSERT_TRUE(send("pause"));
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(confDir + "/host.conf") == "layout = board.json\nlighting = paused\n";
    }))
        << ReadFile(confDir + "/host.conf");
    // The daemon rests 2 s after the last request it had.
    EXPECT_TRUE(within(5000, [&] { return status()["resting"].asBool(); })) << status();
    bool restedThrough = true;
    for (const auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until; SleepMs(200)) {
        restedThrough = restedThrough && status()["resting"].asBool();
    }
    EXPECT_TRUE(restedThrough) << "an effect request reached the paused daemon";

    ASSERT_TRUE(send("resume"));
    EXPECT_TRUE(within(5000, [&] { return !status()["resting"].asBool(); })) << status();
    EXPECT_EQ(ReadFile(confDir + "/host.conf"), "layout = board.json\nlighting = on\n");

    ASSERT_TRUE(send("do-not-start-with-windows"));
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(dir.Path() + "/plug.err").find("TonvikPlug: Start with Windows: the logon task is removed\n") !=
               std::string::npos;
    })) << ReadFile(dir.Path() + "/plug.err");
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(confDir + "/host.conf") == "layout = board.json\nlighting = on\nstart-with-windows = no\n";
    })) << ReadFile(confDir + "/host.conf");
    ASSERT_TRUE(send("start-with-windows"));
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(dir.Path() + "/plug.err")
                   .find("TonvikPlug: error: Start with Windows: the logon task could not be registered: ") !=
               std::string::npos;
    })) << ReadFile(dir.Path() + "/plug.err");
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(confDir + "/host.conf") == "layout = board.json\nlighting = on\nstart-with-windows = yes\n";
    })) << ReadFile(confDir + "/host.conf");

    // Explorer restarted: the launcher adds its icon again and goes on.
    ASSERT_TRUE(send("taskbar-created"));
    SleepMs(500);
    EXPECT_EQ(::waitpid(pid, &running, WNOHANG), 0) << "the launcher ended after TaskbarCreated";

    // The daemon ends: the tooltip and one balloon say so, and so does "Open console", which still opens it.
    const std::string log = dir.Path() + "/plug.err";
    const auto logged = [&log](const std::string& line) {
        const std::string text = ReadFile(log);
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++count;
        }
        return count;
    };
    const std::string gone = "TonvikPlug: balloon: The daemon is not running: the keyboard is not lit.\n";
    CommandOutput(CommandFromEnv("TONVIK_DAEMON_STOP_CMD"), 30000);
    EXPECT_TRUE(within(10000, [&] { return logged(gone) == 1; })) << ReadFile(log);
    EXPECT_EQ(logged("TonvikPlug: tooltip: Tonvik: daemon not running\n"), 1u) << ReadFile(log);
    ASSERT_TRUE(send("open-console"));
    EXPECT_TRUE(within(2000, [&] { return ReadFile(urls) == url + url + url; })) << ReadFile(urls);
    EXPECT_TRUE(within(2000, [&] { return logged(gone) == 2; })) << ReadFile(log);

    // A daemon started again is hosted again; "Quit" ends it with the launcher.
    const pid_t again = SpawnProcess(CommandFromEnv("TONVIK_DAEMON_CMD"), {}, "/dev/null", "/dev/null");
    ASSERT_GT(again, 0);
    ASSERT_NE(WaitForLitDaemon(19, reply), 0) << "the launcher did not host the daemon started again";
    ASSERT_TRUE(send("quit"));
    EXPECT_TRUE(within(10000, [&] { return ::waitpid(pid, &running, WNOHANG) == pid; })) << "the launcher runs on";
    int daemonStatus = 0;
    EXPECT_TRUE(within(10000, [&] { return ::waitpid(again, &daemonStatus, WNOHANG) == again; }))
        << "the daemon runs on";
}

}  // namespace
