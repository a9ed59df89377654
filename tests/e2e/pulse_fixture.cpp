#include "e2e/pulse_fixture.h"

#include "e2e/spawn.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Gone, or a zombie nobody has reaped yet.
bool ProcessGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return true;
    }
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

PulseServer::PulseServer(std::vector<std::string> sinks) : m_sinks(std::move(sinks))
{
    char pattern[] = "/tmp/tonvik-pulse-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_dir = pattern;
}

PulseServer::~PulseServer()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::vector<std::pair<std::string, std::string>> PulseServer::ClientEnv() const
{
    return {{"XDG_RUNTIME_DIR", m_dir}, {"HOME", m_dir}, {"PULSE_SERVER", "unix:" + m_dir + "/pulse/native"}};
}

int PulseServer::Run(const std::vector<std::string>& argv) const
{
    const pid_t pid = Spawn(argv);
    return pid > 0 ? WaitStatus(pid) : -1;
}

pid_t PulseServer::Spawn(const std::vector<std::string>& argv) const
{
    return SpawnProcess(argv, ClientEnv(), m_dir + "/clients.log", m_dir + "/clients.log");
}

bool PulseServer::Start()
{
    if (Running()) {
        return true;
    }
    std::vector<std::string> argv{"pulseaudio",
                                  "-D",
                                  "-n",
                                  "--exit-idle-time=-1",
                                  "--log-target=file:" + m_dir + "/pulse.log",
                                  "--load=module-native-protocol-unix auth-anonymous=1"};
    for (const auto& sink : m_sinks) {
        argv.push_back(LoadSinkArguments(sink));
    }
    m_started = Clock::now();
    const pid_t starter = SpawnProcess(argv, {{"XDG_RUNTIME_DIR", m_dir}, {"HOME", m_dir}}, m_dir + "/pulse.out", m_dir + "/pulse.out");
    if (starter <= 0 || WaitStatus(starter) != 0) {
        return false;
    }
    std::ifstream pidFile(m_dir + "/pulse/pid");
    if (!(pidFile >> m_pid) || m_pid <= 0) {
        m_pid = -1;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (Run({"pactl", "info"}) == 0) {
            return Run({"pactl", "set-default-sink", m_sinks.front()}) == 0 &&
                   Run({"pactl", "set-default-source", m_sinks.front() + ".monitor"}) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string PulseServer::LoadSinkArguments(const std::string& sink)
{
    return "--load=module-null-sink sink_name=" + sink + " sink_properties=device.description=" + sink +
           " rate=48000 channels=2";
}

void PulseServer::WaitUntilSettled() const
{
    std::this_thread::sleep_until(m_started + std::chrono::milliseconds(2100));
}

void PulseServer::Stop()
{
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!ProcessGone(m_pid) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ProcessGone(m_pid)) {
        ::kill(m_pid, SIGKILL);
        while (!ProcessGone(m_pid)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    m_pid = -1;
}

std::string PulseServer::ToneFile(double seconds) const
{
    constexpr uint32_t rate = 48000;
    const auto frames = static_cast<uint32_t>(seconds * rate);
    const std::string path = m_dir + "/tone-" + std::to_string(frames) + ".raw";
    std::ofstream out(path, std::ios::binary);
    for (uint32_t n = 0; n < frames; ++n) {
        const auto s = static_cast<float>(std::sin(2.0 * M_PI * 440.0 * n / rate));
        out.write(reinterpret_cast<const char*>(&s), sizeof s);
        out.write(reinterpret_cast<const char*>(&s), sizeof s);
    }
    return path;
}

std::vector<std::string> PulseServer::PlayCommand(const std::string& sink, double seconds,
                                                  const std::string& application) const
{
    // A short playback buffer: with paplay's default of two seconds the tone
    // reaches the monitor only after about 1.5 s.
    std::vector<std::string> argv{"pacat",        "--playback",        "--raw",          "--format=float32le",
                                  "--rate=48000", "--channels=2",      "--latency-msec=20", "--device=" + sink};
    if (!application.empty()) {
        argv.push_back("--client-name=" + application);
        argv.push_back("--property=application.name=" + application);
    }
    argv.push_back(ToneFile(seconds));
    return argv;
}

Player::~Player()
{
    Kill();
}

Player& Player::operator=(Player&& other) noexcept
{
    Kill();
    m_pid = other.m_pid;
    other.m_pid = -1;
    return *this;
}

bool Player::Wait(int timeoutMs)
{
    if (m_pid <= 0) {
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < deadline);
    return false;
}

void Player::Kill()
{
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}
