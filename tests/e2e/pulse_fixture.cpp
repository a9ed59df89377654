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
#include <iterator>
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

PulseServer::PulseServer(std::vector<std::string> sinks, SoundServerKind kind) : m_sinks(std::move(sinks)), m_kind(kind)
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
    m_started = Clock::now();
    if (!(m_kind == SoundServerKind::PulseAudio ? StartPulseAudio() : StartPipeWire()) || !AnswersWithDefaults()) {
        Stop();
        return false;
    }
    return true;
}

std::string PulseServer::Logs() const
{
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".log") || name.ends_with(".out")) {
            std::ifstream file(entry.path());
            text += "--- " + name + ":\n" + std::string(std::istreambuf_iterator<char>(file), {}) + "\n";
        }
    }
    return text;
}

bool PulseServer::StartPulseAudio()
{
    std::vector<std::string> argv{"pulseaudio",
                                  "-D",
                                  "-n",
                                  "--exit-idle-time=-1",
                                  "--log-target=file:" + m_dir + "/pulse.log",
                                  "--load=module-native-protocol-unix auth-anonymous=1"};
    for (const auto& sink : m_sinks) {
        argv.push_back(LoadSinkArguments(sink));
    }
    const pid_t starter = SpawnProcess(argv, {{"XDG_RUNTIME_DIR", m_dir}, {"HOME", m_dir}}, m_dir + "/pulse.out", m_dir + "/pulse.out");
    if (starter <= 0 || WaitStatus(starter) != 0) {
        return false;
    }
    // It forks into the background: its pid is the one it writes down.
    std::ifstream pidFile(m_dir + "/pulse/pid");
    pid_t pid = -1;
    if (!(pidFile >> pid) || pid <= 0) {
        return false;
    }
    m_pids.push_back(pid);
    return true;
}

// The session bus first (WirePlumber needs one), then PipeWire, its session
// manager and the PulseAudio protocol server; each waited for by the socket
// it makes. Configuration and state stay inside the directory.
bool PulseServer::StartPipeWire()
{
    for (const char* sub : {"/config", "/state", "/data"}) {
        std::filesystem::create_directories(m_dir + sub);
    }
    const auto appeared = [](const std::string& path) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!std::filesystem::exists(path) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::filesystem::exists(path);
    };
    if (Launch("dbus", {"dbus-daemon", "--config-file=" TONVIK_SESSION_BUS_CONF, "--nofork",
                        "--address=unix:path=" + m_dir + "/bus"}) <= 0 ||
        !appeared(m_dir + "/bus")) {
        return false;
    }
    if (Launch("pipewire", {"pipewire"}) <= 0 || !appeared(m_dir + "/pipewire-0")) {
        return false;
    }
    if (Launch("wireplumber", {"wireplumber"}) <= 0) {
        return false;
    }
    if (Launch("pipewire-pulse", {"pipewire-pulse"}) <= 0 || !appeared(m_dir + "/pulse/native")) {
        return false;
    }
    return true;
}

pid_t PulseServer::Launch(const std::string& name, const std::vector<std::string>& argv)
{
    const EnvOverrides env{{"XDG_RUNTIME_DIR", m_dir},
                           {"HOME", m_dir},
                           {"XDG_CONFIG_HOME", m_dir + "/config"},
                           {"XDG_STATE_HOME", m_dir + "/state"},
                           {"XDG_DATA_HOME", m_dir + "/data"},
                           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir + "/bus"},
                           {"DISPLAY", ""},
                           {"WAYLAND_DISPLAY", ""}};
    const std::string log = m_dir + "/" + name + ".log";
    const pid_t pid = SpawnProcess(argv, env, log, log);
    if (pid > 0) {
        m_pids.push_back(pid);
    }
    return pid;
}

bool PulseServer::AnswersWithDefaults()
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Run({"pactl", "info"}) != 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_kind == SoundServerKind::PipeWire) {
        for (const auto& sink : m_sinks) {
            if (Run({"pactl", "load-module", "module-null-sink", "sink_name=" + sink,
                     "sink_properties=device.description=" + sink, "rate=48000", "channels=2"}) != 0) {
                return false;
            }
        }
    }
    return Run({"pactl", "set-default-sink", m_sinks.front()}) == 0 &&
           Run({"pactl", "set-default-source", m_sinks.front() + ".monitor"}) == 0;
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

// The last started goes first; a child of ours is reaped, a server that
// forked into the background is only waited for.
void PulseServer::Stop()
{
    while (!m_pids.empty()) {
        const pid_t pid = m_pids.back();
        m_pids.pop_back();
        ::kill(pid, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0 || !ProcessGone(pid)) {
            if (Clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
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
                                                  const std::string& application, int latencyMs) const
{
    // A short playback buffer: with paplay's default of two seconds the tone
    // reaches the monitor only after about 1.5 s.
    std::vector<std::string> argv{"pacat",        "--playback",   "--raw",
                                  "--format=float32le", "--rate=48000", "--channels=2",
                                  "--latency-msec=" + std::to_string(latencyMs), "--device=" + sink};
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

Daemon::Options DaemonWithEmulatedKeyboard(const PulseServer& server, const std::string& fakeHidDir,
                                           const std::string& hidLog)
{
    Daemon::Options options;
    options.runtimeDir = server.RuntimeDir();
    options.env = server.ClientEnv();
    std::erase_if(options.env, [](const auto& entry) { return entry.first == "XDG_RUNTIME_DIR"; });
    std::string libraryPath = fakeHidDir;
    if (const char* inherited = std::getenv("LD_LIBRARY_PATH"); inherited != nullptr && inherited[0] != '\0') {
        libraryPath += std::string(":") + inherited;
    }
    options.env.insert(options.env.end(), {{"LD_LIBRARY_PATH", libraryPath}, {"TONVIK_FAKE_HID_LOG", hidLog}});
    return options;
}
