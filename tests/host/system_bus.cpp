#include "host/system_bus.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Waits until the file holds a whole first line; that line, or empty after timeoutMs.
std::string WaitForFirstLine(const std::string& path, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        const std::string text = ReadAll(path);
        if (const size_t end = text.find('\n'); end != std::string::npos) {
            return text.substr(0, end);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

// SIGTERM, then SIGKILL after 5 s; waits until the process is gone.
void StopByPid(pid_t pid)
{
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

PrivateSystemBus::PrivateSystemBus()
{
    const std::string config = m_dir.Path() + "/bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=)" << m_dir.Path() << R"(/socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    const std::string out = m_dir.Path() + "/bus.out";
    m_pid = SpawnProcess({"dbus-daemon", "--nofork", "--config-file=" + config, "--print-address"}, {}, out,
                         m_dir.Path() + "/bus.err");
    if (m_pid > 0) {
        m_address = WaitForFirstLine(out, 5000);
    }
}

PrivateSystemBus::~PrivateSystemBus()
{
    StopByPid(m_pid);
}

FakeLogind::FakeLogind(const PrivateSystemBus& bus, const std::vector<std::string>& flags) : m_bus(bus)
{
    std::vector<std::string> argv{TONVIK_HOST_TEST_DIR "/fake_logind.py"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    const std::string out = bus.Dir() + "/logind.out";
    m_pid = SpawnProcess(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.Address()}}, out, bus.Dir() + "/logind.err");
    m_ready = m_pid > 0 && WaitForFirstLine(out, 10000) == "ready";
}

FakeLogind::~FakeLogind()
{
    StopByPid(m_pid);
}

bool FakeLogind::Call(const std::string& method, const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{"dbus-send", "--bus=" + m_bus.Address(), "--print-reply",
                                  "--dest=org.freedesktop.login1", "/org/tonvik/test",
                                  "org.tonvik.test.Logind." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = SpawnProcess(argv, {}, m_bus.Dir() + "/calls.out", m_bus.Dir() + "/calls.err");
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
