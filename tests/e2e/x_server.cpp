#include "e2e/x_server.h"

#include "e2e/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 10000;
// Above the numbers desktops and servers started with -displayfd take first.
constexpr int kFirstDisplay = 100;
constexpr int kLastDisplay = 999;

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads the line the server writes to its -displayfd once it accepts clients;
// empty when it ends or takes too long.
std::string ReadDisplayNumber(int fd)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) {
            continue;
        }
        char buffer[32];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    const size_t end = text.find('\n');
    return end == std::string::npos ? std::string() : text.substr(0, end);
}

std::string TempDir()
{
    char pattern[] = "/tmp/tonvik-x-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

}  // namespace

XServer::XServer(std::vector<std::string> options, int width, int height)
    : m_options(std::move(options)), m_dir(TempDir()), m_width(width), m_height(height)
{
}

XServer::~XServer()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::unique_ptr<XServer> XServer::Existing(const std::string& display)
{
    auto server = std::make_unique<XServer>();
    server->m_display = display;
    const std::string info = server->m_dir + "/root.txt";
    if (display.empty() || server->RunClient({"xwininfo", "-root"}, info) != 0) {
        return nullptr;
    }
    std::ifstream text(info);
    for (std::string line; std::getline(text, line);) {
        std::sscanf(line.c_str(), " Width: %d", &server->m_width);
        std::sscanf(line.c_str(), " Height: %d", &server->m_height);
    }
    return server;
}

bool XServer::Start()
{
    // A number drawn from a wide range rather than the first free one, which
    // a server started meanwhile would take when this one is killed and
    // restarted. The server's lock file refuses a number in use; then another.
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> number(kFirstDisplay, kLastDisplay);
    for (int attempt = 0; attempt < 20 && m_pid <= 0; ++attempt) {
        // Appended rather than concatenated: GCC 12 at -O3 warns wrongly about "+" here.
        std::string display = ":";
        display += std::to_string(number(random));
        Launch({display});
    }
    return m_pid > 0;
}

bool XServer::Restart()
{
    return m_pid > 0 || (!m_display.empty() && Launch({m_display}));
}

bool XServer::Launch(const std::vector<std::string>& displayArguments)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    // Only the write end reaches the server.
    ::fcntl(fds[1], F_SETFD, 0);
    std::vector<std::string> argv{"Xvfb"};
    argv.insert(argv.end(), displayArguments.begin(), displayArguments.end());
    argv.insert(argv.end(), {"-displayfd", std::to_string(fds[1]), "-screen", "0",
                             std::to_string(m_width) + "x" + std::to_string(m_height) + "x24", "-nolisten", "tcp",
                             "-noreset"});
    argv.insert(argv.end(), m_options.begin(), m_options.end());
    const std::string log = m_dir + "/xvfb.log";
    m_pid = SpawnProcess(argv, {}, log, log);
    ::close(fds[1]);
    const std::string number = m_pid > 0 ? ReadDisplayNumber(fds[0]) : std::string();
    ::close(fds[0]);
    if (number.empty()) {
        Stop();
        return false;
    }
    m_display = ":";
    m_display += number;
    return true;
}

void XServer::Kill()
{
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGKILL);
    WaitStatus(m_pid);
    m_pid = -1;
}

void XServer::Stop()
{
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGTERM);
    ::kill(m_pid, SIGCONT);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            WaitStatus(m_pid);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
}

void XServer::Pause() const
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGSTOP);
        // Back once the server has stopped.
        int status = 0;
        while (::waitpid(m_pid, &status, WUNTRACED) < 0 && errno == EINTR) {
        }
    }
}

void XServer::Resume() const
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGCONT);
    }
}

int XServer::RunClient(const std::vector<std::string>& argv, const std::string& output) const
{
    const pid_t pid = SpawnProcess(argv, {{"DISPLAY", m_display}}, output, m_dir + "/clients.log");
    return pid > 0 ? WaitStatus(pid) : -1;
}

bool XServer::PaintSolid(const std::string& color) const
{
    return RunClient({"xsetroot", "-solid", color}) == 0;
}

bool XServer::PaintHalves(const std::string& left, const std::string& right) const
{
    // A one-row bitmap as wide as the screen, set on its left half, tiled
    // down the root: foreground on the left, background on the right.
    const int bytes = (m_width + 7) / 8;
    std::ostringstream xbm;
    // Xlib's reader wants the data on lines of their own, short ones.
    xbm << "#define halves_width " << m_width << "\n#define halves_height 1\nstatic unsigned char halves_bits[] = {\n";
    for (int i = 0; i < bytes; ++i) {
        int bits = 0;
        for (int bit = 0; bit < 8; ++bit) {
            bits |= (i * 8 + bit < m_width / 2 ? 1 : 0) << bit;
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(bits));
        xbm << (i == 0 ? "" : i % 12 == 0 ? ",\n" : ", ") << hex;
    }
    xbm << "};\n";
    const std::string path = m_dir + "/halves.xbm";
    std::ofstream(path) << xbm.str();
    return RunClient({"xsetroot", "-bitmap", path, "-fg", left, "-bg", right}) == 0;
}
