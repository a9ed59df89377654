// tonvik-host under local abuse, over real TCP: bad bodies and lengths, a
// host.conf that is a link or read-only, what a killed host left behind, a
// crowd of slow and idle clients, a flood of stored layouts and a second
// host on the same settings. Every request that changes something carries the
// console's own Origin, as an attacker on the same machine could send it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.h"
#include "host/host_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

unsigned Mode(const std::string& path)
{
    struct stat file {};
    return ::stat(path.c_str(), &file) == 0 ? file.st_mode & 07777 : 0;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A stored layout's file name for the number: "user-<16 hex>.json".
std::string StoredName(unsigned number)
{
    char name[32];
    std::snprintf(name, sizeof name, "user-%016x", number);
    return name;
}

std::string BoardWithName(const std::string& name)
{
    std::string board = ReadFile(TONVIK_HOST_TEST_DIR "/test_layout.json");
    return std::regex_replace(board, std::regex("\"host test board\""), "\"" + name + "\"");
}

// A host with the settings API: --web and a layout in a host.conf of the test's.
class GuardedHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        fs::create_directories(Conf() + "/layouts");
        fs::copy_file(TONVIK_HOST_TEST_DIR "/test_layout.json", Conf() + "/board.json");
        WriteFile(ConfFile(), "layout = board.json\nmode = 7\n");
    }

    std::string Conf() const { return m_dir.Path() + "/config/tonvik"; }
    std::string ConfFile() const { return Conf() + "/host.conf"; }
    HostProcess::Env HostEnv() const { return {{"XDG_CONFIG_HOME", m_dir.Path() + "/config"}}; }

    // Starts the host (pointed at a daemon port when one is given) and reads its console's port.
    void StartHost(uint16_t daemonPort = 0)
    {
        std::vector<std::string> args{"--web", "--web-root", TONVIK_SOURCE_DIR};
        if (daemonPort != 0) {
            args.insert(args.end(), {"--port", std::to_string(daemonPort)});
        }
        // Logs of its own: an earlier host's lines must not pass for this one's.
        const std::string logs = m_dir.Path() + "/run-" + std::to_string(++m_runs);
        fs::create_directories(logs);
        m_host = std::make_unique<HostProcess>(args, HostEnv(), logs);
        ASSERT_TRUE(m_host->WaitForLog("serving the web console", 5000)) << m_host->Err();
        std::smatch url;
        const std::string out = m_host->Out();
        ASSERT_TRUE(std::regex_search(out, url, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/"))) << out;
        m_port = static_cast<uint16_t>(std::stoi(url[1]));
    }

    std::string Authority() const { return "127.0.0.1:" + std::to_string(m_port); }

    // A request from the console's own page: its Host and Origin.
    HttpReply Send(const std::string& method, const std::string& path, const std::string& body,
                   const std::string& headers = "", bool withOrigin = true)
    {
        std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + Authority() + "\r\n";
        request += withOrigin ? "Origin: http://" + Authority() + "\r\n" : "";
        request += headers.empty() ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : headers;
        return SplitReply(Exchange(m_port, request + "\r\n" + body));
    }

    static bool HasStatus(const HttpReply& reply, const std::string& status)
    {
        return reply.head.rfind("HTTP/1.1 " + status + "\r\n", 0) == 0;
    }

    TempDir m_dir;
    std::unique_ptr<HostProcess> m_host;
    uint16_t m_port = 0;
    int m_runs = 0;
};

TEST_F(GuardedHost, BadRequestsAndOddFilesGetTheirOwnAnswerAndNothingIsLost)
{
    const std::string deep = std::string(1000, '[') + std::string(1000, ']');
    const std::string dotfiles = m_dir.Path() + "/dotfiles";
    struct Case {
        std::string what;
        std::function<void()> before;  // before the host starts
        std::string body;
        std::string headers;  // empty: the body's Content-Length
        std::string status;
        std::string reply;  // part of the reply's body
        std::function<void()> after;
    };
    const auto confUnchanged = [&] { EXPECT_EQ(ReadFile(ConfFile()), "layout = board.json\nmode = 7\n"); };
    const std::vector<Case> cases = {
        {"a body nested 1000 deep", {}, deep, "", "400 Bad Request", "not a JSON object", confUnchanged},
        {"an object nested 1000 deep", {}, R"({"mode": )" + deep + "}", "", "400 Bad Request", "not a JSON object",
         confUnchanged},
        {"a POST without Content-Length", {}, R"({"mode": 5})", "Content-Type: application/json\r\n",
         "411 Length Required", "", confUnchanged},
        {"a Content-Length of 10^23", {}, R"({"mode": 5})", "Content-Length: 100000000000000000000000\r\n",
         "413 Content Too Large", "", confUnchanged},
        {"host.conf a relative link into a dotfiles checkout, mode 0644",
         [&] {
             fs::create_directories(dotfiles);
             fs::rename(ConfFile(), dotfiles + "/tonvik.conf");
             ::chmod((dotfiles + "/tonvik.conf").c_str(), 0644);
             fs::create_symlink("../../dotfiles/tonvik.conf", ConfFile());
         },
         R"({"mode": 5})", "", "200 OK", R"("mode":5)",
         [&] {
             EXPECT_TRUE(fs::is_symlink(ConfFile())) << "the link was replaced";
             EXPECT_EQ(ReadFile(dotfiles + "/tonvik.conf"), "layout = board.json\nmode = 5\n");
             EXPECT_EQ(Mode(dotfiles + "/tonvik.conf"), 0644u);
             EXPECT_EQ(std::distance(fs::directory_iterator(dotfiles), fs::directory_iterator()), 1)
                 << "a temporary file was left beside the target";
         }},
        {"a plain host.conf keeps its mode 0640", [&] { ::chmod(ConfFile().c_str(), 0640); }, R"({"mode": 5})", "",
         "200 OK", R"("mode":5)",
         [&] {
             EXPECT_EQ(ReadFile(ConfFile()), "layout = board.json\nmode = 5\n");
             EXPECT_EQ(Mode(ConfFile()), 0640u);
         }},
        {"a read-only host.conf", [&] { ::chmod(ConfFile().c_str(), 0444); }, R"({"mode": 5})", "",
         "500 Internal Server Error", "host.conf is read-only",
         [&] {
             confUnchanged();
             EXPECT_EQ(Mode(ConfFile()), 0444u);
         }},
        {"temporary files of a host killed mid-write",
         [&] {
             for (const char* name : {"host.conf.tmp-4242", "layouts/user-0123456789abcdef.json.tmp-77",
                                      "notes.txt.tmp-5", "host.conf.tmp-x1", "layouts/mine.json.tmp-3"}) {
                 WriteFile(Conf() + "/" + name, "half");
             }
             fs::create_directory(Conf() + "/host.conf.tmp-99");
         },
         R"({"mode": 5})", "", "200 OK", R"("mode":5)",
         [&] {
             EXPECT_FALSE(fs::exists(Conf() + "/host.conf.tmp-4242"));
             EXPECT_FALSE(fs::exists(Conf() + "/layouts/user-0123456789abcdef.json.tmp-77"));
             for (const char* kept : {"notes.txt.tmp-5", "host.conf.tmp-x1", "layouts/mine.json.tmp-3",
                                      "host.conf.tmp-99"}) {
                 EXPECT_TRUE(fs::exists(Conf() + "/" + kept)) << kept << " is none of the host's";
             }
             EXPECT_NE(m_host->Err().find("removed 1 temporary file that an earlier host left in"),
                       std::string::npos)
                 << m_host->Err();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_dir.Path() + "/config");
        fs::remove_all(dotfiles);
        SetUp();
        if (c.before) {
            c.before();
        }
        ASSERT_NO_FATAL_FAILURE(StartHost());
        const HttpReply reply = Send("POST", "/api/settings", c.body, c.headers);
        EXPECT_TRUE(HasStatus(reply, c.status)) << reply.raw;
        EXPECT_NE(reply.body.find(c.reply), std::string::npos) << reply.raw;
        EXPECT_TRUE(HasStatus(Get(m_port, "/api/settings"), "200 OK")) << "the host no longer answers";
        c.after();
        const int status = m_host->Stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << m_host->Err();
        ::chmod(ConfFile().c_str(), 0644);
    }
}

// Answers the daemon's probe route with JSON nested far too deep.
class DeepJsonServer {
public:
    DeepJsonServer()
    {
        for (uint16_t port = 9191; port <= 9199 && m_port == 0; ++port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 16) == 0) {
                m_listener = fd;
                m_port = port;
            } else {
                ::close(fd);
            }
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~DeepJsonServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    uint16_t Port() const { return m_port; }
    int Answered() const { return m_answered; }

private:
    void Serve()
    {
        const std::string body = std::string(5000, '[') + std::string(5000, ']');
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        while (!m_stop && m_listener >= 0) {
            pollfd entry{m_listener, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            char request[4096];
            [[maybe_unused]] const ssize_t got = ::recv(client, request, sizeof request, 0);
            [[maybe_unused]] const ssize_t sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
            ++m_answered;
        }
    }

    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};

TEST_F(GuardedHost, AProbeReplyNestedTooDeepIsNoDaemonAndTheHostGoesOn)
{
    DeepJsonServer impostor;
    ASSERT_NE(impostor.Port(), 0) << "every daemon port is taken";
    ASSERT_NO_FATAL_FAILURE(StartHost(impostor.Port()));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (impostor.Answered() < 2 && Clock::now() < deadline) {
        SleepMs(50);
    }
    EXPECT_GE(impostor.Answered(), 2) << "the host never probed";
    const HttpReply settings = Get(m_port, "/api/settings");
    EXPECT_NE(settings.body.find(R"("daemonPort":0)"), std::string::npos) << settings.raw;
    EXPECT_EQ(m_host->Err().find("found the daemon"), std::string::npos) << m_host->Err();
    const int status = m_host->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << m_host->Err();
}

// Connect, send the whole request, read the reply: how long it took, or -1 without a 200.
int64_t ProbeMs(uint16_t port)
{
    const auto start = Clock::now();
    const HttpReply reply = SplitReply(Exchange(
        port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n", 3000));
    return reply.head.rfind("HTTP/1.1 200 OK", 0) == 0 ? MsSince(start) : -1;
}

TEST_F(GuardedHost, AnswersWithinASecondWhileSlowOrIdleClientsCrowdIt)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const std::string head = "GET / HTTP/1.1\r\nHost: " + Authority() + "\r\nX-Slow: " + std::string(200, 'a');

    // 100 clients that each send one byte of a request head a second, and
    // connect again as soon as they are dropped.
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        std::vector<int> sockets(100, -1);
        std::vector<size_t> sent(sockets.size(), 0);
        while (!stop) {
            for (size_t i = 0; i < sockets.size(); ++i) {
                if (sockets[i] < 0) {
                    sockets[i] = ConnectLoopback(m_port);
                    sent[i] = 0;
                }
                if (sockets[i] >= 0 && ::send(sockets[i], head.data() + sent[i] % head.size(), 1, MSG_NOSIGNAL) != 1) {
                    ::close(sockets[i]);
                    sockets[i] = -1;
                }
                ++sent[i];
            }
            for (int waited = 0; waited < 1000 && !stop; waited += 50) {
                SleepMs(50);
            }
        }
        for (const int fd : sockets) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    });
    SleepMs(1500);
    for (int probe = 0; probe < 8; ++probe) {
        const int64_t ms = ProbeMs(m_port);
        EXPECT_TRUE(ms >= 0 && ms < 1000) << "probe " << probe << " among slow clients: " << ms << " ms";
        SleepMs(400);
    }
    stop = true;
    trickle.join();

    // 500 connections that never send a byte.
    std::vector<int> idle;
    for (int i = 0; i < 500; ++i) {
        idle.push_back(ConnectLoopback(m_port));
    }
    for (int probe = 0; probe < 8; ++probe) {
        const int64_t ms = ProbeMs(m_port);
        EXPECT_TRUE(ms >= 0 && ms < 1000) << "probe " << probe << " among idle clients: " << ms << " ms";
        SleepMs(200);
    }
    for (const int fd : idle) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const int status = m_host->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << m_host->Err();
}

TEST_F(GuardedHost, ASecondHostOnTheSameSettingsEndsAndSaysWhichKeepsThem)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    TempDir other;
    HostProcess second({"--web", "--web-root", TONVIK_SOURCE_DIR}, HostEnv(), other.Path());
    int status = 0;
    ASSERT_TRUE(second.WaitExit(5000, &status)) << second.Err();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(second.Err().find("another tonvik-host keeps these settings (pid " + std::to_string(m_host->Pid()) + ")"),
              std::string::npos)
        << second.Err();

    // The lock goes with its holder, however that ends.
    m_host->Stop(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(StartHost());
    EXPECT_TRUE(HasStatus(Send("POST", "/api/settings", R"({"mode": 4})"), "200 OK"));
    EXPECT_EQ(ReadFile(ConfFile()), "layout = board.json\nmode = 4\n");
}

// The same with the real daemon, which tries every layout before it is kept.
class GuardedHostWithDaemon : public GuardedHost {
protected:
    void SetUp() override
    {
        if (const char* custom = std::getenv("TONVIK_DAEMON_CMD"); custom != nullptr && custom[0] != '\0') {
            GTEST_SKIP() << "this test runs against the Linux daemon";
        }
        GuardedHost::SetUp();
        m_daemon = std::make_unique<Daemon>();
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
    }
    void TearDown() override
    {
        m_host.reset();
        m_daemon.reset();
    }

    std::vector<std::string> Stored() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Conf() + "/layouts")) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    bool IsStored(unsigned number) const { return fs::exists(Conf() + "/layouts/" + StoredName(number) + ".json"); }

    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(GuardedHostWithDaemon, KeepsAtMost32StoredLayoutsAndRemovesOneOnRequest)
{
    // 32 stored already, number 0 the oldest and in use.
    const auto now = fs::file_time_type::clock::now();
    for (unsigned i = 0; i < 32; ++i) {
        const std::string path = Conf() + "/layouts/" + StoredName(i) + ".json";
        WriteFile(path, BoardWithName("stored " + std::to_string(i)));
        fs::last_write_time(path, now - std::chrono::minutes(100 - i));
    }
    WriteFile(ConfFile(), "layout = layouts/" + StoredName(0) + ".json\n");
    ASSERT_NO_FATAL_FAILURE(StartHost(m_daemon->Port()));
    const HttpReply listed = Get(m_port, "/api/settings");
    EXPECT_NE(listed.body.find(R"({"id":"layouts/)" + StoredName(31) + R"(.json","name":"stored 31","stored":")" +
                               StoredName(31) + "\"}"),
              std::string::npos)
        << listed.body;

    // A 33rd: the one used longest ago goes, now that it is no longer in use.
    HttpReply reply = Send("POST", "/api/layouts", BoardWithName("new A"));
    ASSERT_TRUE(HasStatus(reply, "200 OK")) << reply.raw;
    EXPECT_EQ(Stored().size(), 32u);
    EXPECT_FALSE(IsStored(0));
    // Choosing number 1 makes it the last to go; the next upload takes number 2.
    reply = Send("POST", "/api/settings", R"({"layout": "layouts/)" + StoredName(1) + R"(.json"})");
    ASSERT_TRUE(HasStatus(reply, "200 OK")) << reply.raw;
    reply = Send("POST", "/api/layouts", BoardWithName("new B"));
    ASSERT_TRUE(HasStatus(reply, "200 OK")) << reply.raw;
    EXPECT_EQ(Stored().size(), 32u);
    EXPECT_TRUE(IsStored(1));
    EXPECT_FALSE(IsStored(2));
    const std::string inUse = std::regex_replace(ReadFile(ConfFile()), std::regex(R"([^]*layouts/(user-[0-9a-f]{16})\.json\n[^]*)"), "$1");
    ASSERT_EQ(inUse.size(), 21u) << ReadFile(ConfFile());
    EXPECT_EQ(Mode(Conf() + "/layouts/" + inUse + ".json"), 0600u) << "a new file is for its owner alone";

    struct Removal {
        std::string name;
        bool withOrigin;
        std::string status;
        bool gone;  // whether layout 3 is gone after it
    };
    const std::vector<Removal> removals = {
        {inUse, true, "409 Conflict", false},
        {StoredName(3), false, "403 Forbidden", false},
        {StoredName(3) + ".json", true, "404 Not Found", false},
        {"..%2fhost.conf", true, "404 Not Found", false},
        {"user-0123", true, "404 Not Found", false},
        {StoredName(3), true, "200 OK", true},
        {StoredName(3), true, "404 Not Found", true},
    };
    for (const Removal& removal : removals) {
        reply = Send("DELETE", "/api/layouts/" + removal.name, "", "", removal.withOrigin);
        EXPECT_TRUE(HasStatus(reply, removal.status)) << removal.name << "\n" << reply.raw;
        EXPECT_EQ(IsStored(3), !removal.gone) << removal.name;
    }
    EXPECT_TRUE(fs::exists(Conf() + "/layouts/" + inUse + ".json"));
    EXPECT_TRUE(fs::exists(ConfFile()));
    EXPECT_EQ(Stored().size(), 31u);
    EXPECT_EQ(Get(m_port, "/api/settings").body.find(StoredName(3)), std::string::npos);
}

}  // namespace
