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
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <optional>
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
        Daemon::Options options = DaemonWithEmulatedKeyboard(*m_pulse, TONVIK_FAKE_HID_DIR, m_log);
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

// What the console writes on its first step, a bundled layout by name, is
// hosted by a tonvik-host started without the console as well.
TEST_F(HostE2E, ABundledLayoutInHostConfIsHostedWithoutTheConsole)
{
    WriteFile(m_dir.Path() + "/config/tonvik/host.conf", "layout = ansi-60\n");
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartTone());
    ASSERT_NO_FATAL_FAILURE(StartHost({"--port", std::to_string(m_daemon->Port()), "--web-root", TONVIK_SOURCE_DIR}));
    ASSERT_TRUE(m_host->WaitForLog("lighting on", 10000)) << m_host->Err();
    const uint64_t lit = NowUs();
    SleepMs(1500);
    EXPECT_GE(KeyPacketsSince(Events(), lit), 10u);
    EXPECT_NE(m_host->Err().find("the daemon accepted the layout ansi-60"), std::string::npos) << m_host->Err();
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

// tonvik-host --open opens the console address the running host published
// (in its runtime directory, for the user alone) with xdg-open, here a
// stand-in that records it; without a running host it opens nothing, says
// how to start one, and fails.
TEST(HostWebE2E, OpenShowsTheRunningHostsConsoleAndWithoutOneSaysHowToStartIt)
{
    TempDir dir;
    const std::string runtime = dir.Path() + "/run";
    const std::string stand = dir.Path() + "/bin";
    const std::string record = dir.Path() + "/opened";
    std::filesystem::create_directories(runtime);
    std::filesystem::create_directories(stand);
    WriteFile(stand + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$TONVIK_TEST_OPENED\"\n");
    std::filesystem::permissions(stand + "/xdg-open", std::filesystem::perms::owner_all);
    const Env env = {{"XDG_RUNTIME_DIR", runtime},
                     {"PATH", stand + ":" + std::string(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "")},
                     {"TONVIK_TEST_OPENED", record}};
    const auto open = [&] { return RunCommand({TONVIK_HOST_PATH, "--open"}, env, 10000); };
    const auto refused = [&](const std::string& why) {
        const CommandResult result = open();
        EXPECT_TRUE(result.exited && WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1)
            << why << ": " << result.status;
        EXPECT_NE(result.err.find("systemctl --user start tonvik-host"), std::string::npos) << why << ": " << result.err;
    };
    refused("no host ever ran");

    HostProcess host({"--web", "--web-root", TONVIK_SOURCE_DIR}, {{"XDG_CONFIG_HOME", dir.Path()}, env[0]},
                     dir.Path());
    ASSERT_TRUE(host.WaitForLog("serving the web console", 5000)) << host.Err();
    const std::string url = host.Out().substr(0, host.Out().find('\n'));
    const std::string published = runtime + "/tonvik/console";
    // Written once the web thread has started, a moment after the log line.
    for (int wait = 0; wait < 100 && ReadFile(published).empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReadFile(published), url + "\n");
    struct stat file {};
    ASSERT_EQ(::stat(published.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((runtime + "/tonvik").c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0700u);

    const CommandResult opened = open();
    EXPECT_TRUE(opened.exited && WIFEXITED(opened.status) && WEXITSTATUS(opened.status) == 0)
        << opened.status << opened.err;
    EXPECT_EQ(ReadFile(record), url + "\n");

    const int status = host.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << host.Err();
    EXPECT_FALSE(std::filesystem::exists(published)) << "the address outlived its host";
    refused("the host stopped");
    // What a killed host leaves, and what no host writes.
    std::filesystem::create_directories(runtime + "/tonvik");
    WriteFile(published, url + "\n");
    refused("a stale address");
    WriteFile(published, "file:///etc/passwd\n");
    refused("not a console address");
    EXPECT_EQ(ReadFile(record), url + "\n") << "xdg-open ran without a host";
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

// TonvikPlug.exe under Wine, started as the logon task starts it ("-hide")
// with %APPDATA%\Tonvik\host.conf holding the given text beside the test
// board's layout, or with no %APPDATA%\Tonvik at all (no text), as after the
// installer. Whatever happens in the test, the launcher and the daemon it
// started end with the object, and that directory goes.
class LauncherRun {
public:
    LauncherRun(const std::vector<std::string>& launcher, const std::optional<std::string>& hostConf,
                const Env& env = {})
    {
        std::string appData = CommandOutput({"wine", "cmd", "/c", "echo", "%APPDATA%"}, 60000);
        appData = appData.substr(0, appData.find_first_of("\r\n"));
        std::string unixAppData = CommandOutput({"winepath", "-u", appData}, 60000);
        unixAppData = unixAppData.substr(0, unixAppData.find_first_of("\r\n"));
        if (unixAppData.empty()) {
            ADD_FAILURE() << "no Unix path for " << appData;
            return;
        }
        m_confDir = unixAppData + "/Tonvik";
        std::error_code ignored;
        std::filesystem::remove_all(m_confDir, ignored);
        if (hostConf) {
            std::filesystem::create_directories(m_confDir);
            std::filesystem::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", m_confDir + "/board.json");
            WriteFile(m_confDir + "/host.conf", *hostConf);
        }
        std::vector<std::string> argv = launcher;
        argv.push_back("-hide");
        m_pid = SpawnProcess(argv, env, m_dir.Path() + "/plug.out", m_dir.Path() + "/plug.err");
    }

    ~LauncherRun()
    {
        if (m_pid > 0) {
            CommandOutput({"wine", "taskkill", "/im", "TonvikPlug.exe"}, 30000);
            const std::vector<std::string> stopDaemon = CommandFromEnv("TONVIK_DAEMON_STOP_CMD");
            if (!stopDaemon.empty()) {
                CommandOutput(stopDaemon, 30000);
            }
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            int status = 0;
            while (::waitpid(m_pid, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(m_pid, SIGKILL);
                    ::waitpid(m_pid, &status, 0);
                    break;
                }
                SleepMs(50);
            }
        }
        if (!m_confDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_confDir, ignored);
        }
    }

    LauncherRun(const LauncherRun&) = delete;
    LauncherRun& operator=(const LauncherRun&) = delete;

    pid_t Pid() const { return m_pid; }
    const std::string& ConfDir() const { return m_confDir; }
    // What the launcher's Wine wrote on standard error.
    std::string Err() const { return ReadFile(m_dir.Path() + "/plug.err"); }

private:
    TempDir m_dir;
    std::string m_confDir;
    pid_t m_pid = -1;
};

// The console beside the launcher, on the first free port from 9190 down,
// once its settings reply holds the text; 0 when none does within the time.
uint16_t WebPortWhoseSettingsHold(const std::string& text, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (uint16_t port = 9190; port >= 9180; --port) {
            if (Get(port, "/api/settings").body.find(text) != std::string::npos) {
                return port;
            }
        }
        SleepMs(500);
    } while (Clock::now() < deadline);
    return 0;
}

// A change posted as the console posts it.
HttpReply Change(uint16_t web, const std::string& change)
{
    const std::string host = "127.0.0.1:" + std::to_string(web);
    return SplitReply(Exchange(web, "POST /api/settings HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                                        std::to_string(change.size()) + "\r\n\r\n" + change));
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
    const LauncherRun run(launcher, "layout = board.json\nmode = 5\n");
    ASSERT_GT(run.Pid(), 0);
    const pid_t pid = run.Pid();
    const std::string& confDir = run.ConfDir();

    // The daemon takes a while to come up under Wine; the launcher then
    // uploads the layout and sets mode 5, and keeps polling.
    Json::Value reply;
    uint16_t found = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    while (found == 0 && Clock::now() < deadline) {
        for (uint16_t port = 9191; port <= 9199 && found == 0; ++port) {
            const std::string body = Get(port, "/api/keyboard/musiceffect").body;
            if (Json::Reader().parse(body, reply) && reply["mode"].asInt() == 5 && reply["keys"].size() == 126u) {
                found = port;
            }
        }
        SleepMs(500);
    }
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

    const uint16_t web = WebPortWhoseSettingsHold(R"(board.json","layoutName":"host test board")", 0);
    ASSERT_NE(web, 0) << "no settings API on 9180-9190; the launcher's log:\n" << run.Err();
    EXPECT_EQ(Get(web, "/").body, ReadFile(TONVIK_SOURCE_DIR "/web/index.html"));
    const HttpReply saved = Change(web, R"({"mode": 6})");
    EXPECT_EQ(saved.head.rfind("HTTP/1.1 200 OK", 0), 0u) << saved.raw;
    EXPECT_EQ(ReadFile(confDir + "/host.conf"), "layout = board.json\nmode = 6\n");
    const auto applied = Clock::now() + std::chrono::seconds(10);
    while (reply["mode"].asInt() != 6 && Clock::now() < applied) {
        SleepMs(200);
        Json::Reader().parse(Get(found, "/api/keyboard/musiceffect").body, reply);
    }
    EXPECT_EQ(reply["mode"].asInt(), 6) << "the change did not reach the daemon";
}

// Started with no host.conf at all, as after the installer, it serves the
// settings API with no layout; the layout chosen through it lands in a new
// %APPDATA%\Tonvik\host.conf and goes up to the daemon at once.
TEST(LauncherE2E, WithoutHostConfTheLayoutChosenThroughTheSettingsLandsInAppData)
{
    const std::vector<std::string> launcher = CommandFromEnv("TONVIK_PLUG_CMD");
    if (launcher.empty()) {
        GTEST_SKIP() << "TONVIK_PLUG_CMD names no launcher (the Windows leg sets it)";
    }
    const LauncherRun run(launcher, std::nullopt);
    ASSERT_GT(run.Pid(), 0);
    const uint16_t web = WebPortWhoseSettingsHold(R"("layout":null)", 90000);
    ASSERT_NE(web, 0) << "no settings API without a layout on 9180-9190; the launcher's log:\n" << run.Err();
    EXPECT_FALSE(std::filesystem::exists(run.ConfDir() + "/host.conf"));

    const HttpReply saved = Change(web, R"({"layout": "ansi-60"})");
    EXPECT_EQ(saved.head.rfind("HTTP/1.1 200 OK", 0), 0u) << saved.raw;
    const std::string conf = ReadFile(run.ConfDir() + "/host.conf");
    EXPECT_EQ(conf.rfind("# Tonvik host settings", 0), 0u) << conf;
    EXPECT_TRUE(conf.ends_with("\nlayout = ansi-60\n")) << conf;

    // The daemon, which the launcher started, gets the layout: 61 keys with codes.
    Json::Value reply;
    size_t coded = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (coded != 61u && Clock::now() < deadline) {
        SleepMs(500);
        for (uint16_t port = 9191; port <= 9199 && coded != 61u; ++port) {
            coded = 0;
            if (Json::Reader().parse(Get(port, "/api/keyboard/musiceffect").body, reply)) {
                for (const auto& key : reply["keys"]) {
                    coded += key["keyCode"].asInt() > 0 ? 1 : 0;
                }
            }
        }
    }
    EXPECT_EQ(coded, 61u) << "the chosen layout did not reach the daemon; last reply: " << reply << "\n" << run.Err();
}

}  // namespace

namespace {

// The log lines of the launcher and of the daemon it started, one a line,
// out of Wine's report of each OutputDebugString (WINEDEBUG=warn+seh).
std::string DebugStrings(const std::string& wineErr)
{
    constexpr char kMarker[] = "OutputDebugStringA \"";
    std::string lines;
    for (size_t at = wineErr.find(kMarker); at != std::string::npos; at = wineErr.find(kMarker, at + 1)) {
        const size_t start = at + sizeof kMarker - 1;
        const size_t end = wineErr.find('\n', start);
        lines += wineErr.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
    }
    return lines;
}

// Where the text first appears at or after `from` in the launcher's lines
// within the time; npos when it does not.
size_t WaitForDebugString(const LauncherRun& run, const std::string& text, size_t from, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string lines = DebugStrings(run.Err());
        if (const size_t at = lines.find(text, from); at != std::string::npos || Clock::now() > deadline) {
            return at;
        }
        SleepMs(100);
    }
}

}  // namespace

// The launcher's window, told of a lock, of the console taken by another
// session and of a sleep as Windows tells it, leaves the daemon alone until
// the matching message, and after the sleep sends the layout again. The
// daemon's own lines (TONVIK_DEBUG) say when it rests and when a request
// wakes it.
TEST(LauncherE2E, TheLaunchersWindowPausesForLockSwitchAndSleepAndResumes)
{
    const std::vector<std::string> launcher = CommandFromEnv("TONVIK_PLUG_CMD");
    const std::vector<std::string> probe = CommandFromEnv("TONVIK_SESSION_PROBE_CMD");
    if (launcher.empty() || probe.empty()) {
        GTEST_SKIP() << "TONVIK_PLUG_CMD and TONVIK_SESSION_PROBE_CMD name no launcher and probe (the Windows leg sets "
                        "them)";
    }
    const LauncherRun run(launcher, "layout = board.json\n", {{"WINEDEBUG", "-all,warn+seh"}, {"TONVIK_DEBUG", "1"}});
    ASSERT_GT(run.Pid(), 0);
    size_t at = WaitForDebugString(run, "TonvikPlug: lighting on", 0, 90000);
    ASSERT_NE(at, std::string::npos) << "the launcher did not light the daemon:\n" << DebugStrings(run.Err());

    const auto send = [&probe](const char* event) {
        std::vector<std::string> argv = probe;
        argv.push_back(event);
        return CommandOutput(argv, 30000).find(std::string("sent_") + event + "=1") != std::string::npos;
    };
    struct Step {
        const char* pause;
        const char* pausing;
        const char* resume;
        const char* resuming;
    };
    for (const Step& step : {Step{"lock", "pausing: the session is locked", "unlock", "resuming: the session is unlocked"},
                             Step{"disconnect", "pausing: the session is not the active one on its seat", "connect",
                                  "resuming: the session is the active one again"},
                             Step{"suspend", "pausing: the system is going to sleep", "resume",
                                  "resuming: the system woke up"}}) {
        SCOPED_TRACE(step.pause);
        EXPECT_TRUE(send(step.pause));
        at = WaitForDebugString(run, std::string("TonvikPlug: ") + step.pausing, at, 5000);
        ASSERT_NE(at, std::string::npos) << DebugStrings(run.Err());
        const size_t rested = WaitForDebugString(run, "tonvik: resting: no request", at, 6000);
        ASSERT_NE(rested, std::string::npos) << "the daemon did not come to rest\n" << DebugStrings(run.Err());
        SleepMs(3000);
        EXPECT_EQ(DebugStrings(run.Err()).find("waking: a request came", rested), std::string::npos)
            << "a request reached the daemon while paused\n" << DebugStrings(run.Err());
        EXPECT_TRUE(send(step.resume));
        at = WaitForDebugString(run, std::string("TonvikPlug: ") + step.resuming, rested, 5000);
        ASSERT_NE(at, std::string::npos) << DebugStrings(run.Err());
        EXPECT_NE(WaitForDebugString(run, "waking: a request came", at, 2000), std::string::npos)
            << "no request after the resume\n" << DebugStrings(run.Err());
        if (std::string(step.pause) == "suspend") {
            EXPECT_NE(WaitForDebugString(run, "TonvikPlug: the daemon accepted the layout", at, 5000),
                      std::string::npos)
                << "the layout did not go up again after the sleep\n" << DebugStrings(run.Err());
        }
    }
}

namespace {

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

}  // namespace

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
    TempDir dir;
    const std::string urls = dir.Path() + "/urls";
    const Env env{{"TONVIK_TEST_BROWSER_LOG", "Z:" + urls}};
    const LauncherRun run(launcher, "layout = board.json\n", env);
    ASSERT_GT(run.Pid(), 0);
    const pid_t pid = run.Pid();
    const std::string& confDir = run.ConfDir();
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
        return run.Err().find("TonvikPlug: Start with Windows: the logon task is removed\n") !=
               std::string::npos;
    })) << run.Err();
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(confDir + "/host.conf") == "layout = board.json\nlighting = on\nstart-with-windows = no\n";
    })) << ReadFile(confDir + "/host.conf");
    ASSERT_TRUE(send("start-with-windows"));
    EXPECT_TRUE(within(3000, [&] {
        return run.Err()
                   .find("TonvikPlug: error: Start with Windows: the logon task could not be registered: ") !=
               std::string::npos;
    })) << run.Err();
    EXPECT_TRUE(within(3000, [&] {
        return ReadFile(confDir + "/host.conf") == "layout = board.json\nlighting = on\nstart-with-windows = yes\n";
    })) << ReadFile(confDir + "/host.conf");

    // Explorer restarted: the launcher adds its icon again and goes on.
    ASSERT_TRUE(send("taskbar-created"));
    SleepMs(500);
    EXPECT_EQ(::waitpid(pid, &running, WNOHANG), 0) << "the launcher ended after TaskbarCreated";

    // The daemon ends: the tooltip and one balloon say so, and so does "Open console", which still opens it.
    const auto logged = [&run](const std::string& line) {
        const std::string text = run.Err();
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++count;
        }
        return count;
    };
    const std::string gone = "TonvikPlug: balloon: The daemon is not running: the keyboard is not lit.\n";
    CommandOutput(CommandFromEnv("TONVIK_DAEMON_STOP_CMD"), 30000);
    EXPECT_TRUE(within(10000, [&] { return logged(gone) == 1; })) << run.Err();
    EXPECT_EQ(logged("TonvikPlug: tooltip: Tonvik: daemon not running\n"), 1u) << run.Err();
    ASSERT_TRUE(send("open-console"));
    EXPECT_TRUE(within(2000, [&] { return ReadFile(urls) == url + url + url; })) << ReadFile(urls);
    EXPECT_TRUE(within(2000, [&] { return logged(gone) == 2; })) << run.Err();

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
