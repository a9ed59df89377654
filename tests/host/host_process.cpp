#include "host/host_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e/daemon_fixture.h"
#include "e2e/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

HostProcess::HostProcess(const std::vector<std::string>& args, const Env& env, const std::string& dir)
    : m_out(dir + "/host.out"), m_err(dir + "/host.err")
{
    std::vector<std::string> argv{TONVIK_HOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    // A runtime directory of the test's own, unless it gives one: the host
    // publishes its console's address there.
    Env withRuntime = env;
    if (std::none_of(env.begin(), env.end(), [](const auto& entry) { return entry.first == "XDG_RUNTIME_DIR"; })) {
        withRuntime.emplace_back("XDG_RUNTIME_DIR", dir);
    }
    m_pid = SpawnProcess(argv, withRuntime, m_out, m_err);
}

HostProcess::~HostProcess()
{
    Stop();
    const std::string errors = Err();
    for (const char* marker :
         {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:", "ERROR: LeakSanitizer"}) {
        if (errors.find(marker) != std::string::npos) {
            ADD_FAILURE() << "tonvik-host reported a sanitizer error:\n" << errors;
            break;
        }
    }
}

int HostProcess::Stop(int signal)
{
    if (m_pid <= 0) {
        return m_status;
    }
    ::kill(m_pid, signal == 0 ? SIGTERM : signal);
    int status = 0;
    if (!WaitExit(5000, &status)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_status = status;
    }
    return m_status;
}

bool HostProcess::WaitExit(int timeoutMs, int* status)
{
    if (m_pid <= 0) {
        *status = m_status;
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::waitpid(m_pid, status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            return false;
        }
        SleepMs(10);
    }
    m_pid = -1;
    m_status = *status;
    return true;
}

std::string HostProcess::Out() const
{
    return ReadFile(m_out);
}

std::string HostProcess::Err() const
{
    return ReadFile(m_err);
}

bool HostProcess::WaitForLog(const std::string& text, int timeoutMs) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Err().find(text) == std::string::npos) {
        if (Clock::now() > deadline) {
            return false;
        }
        SleepMs(50);
    }
    return true;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/tonvik-host-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) {
        m_path = pattern;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}
