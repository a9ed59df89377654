#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// tonvik-host started by a test and stopped by its pid, also when the test
// fails. Its standard output and error go to files in the test's directory; a
// sanitizer's report there fails the test.
class HostProcess {
public:
    using Env = std::vector<std::pair<std::string, std::string>>;

    HostProcess(const std::vector<std::string>& args, const Env& env, const std::string& dir);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    // SIGTERM (or the signal given), then SIGKILL after 5 s; the wait status.
    int Stop(int signal = 0);
    // Waits up to timeoutMs for the host to end by itself; true with its wait status.
    bool WaitExit(int timeoutMs, int* status);
    std::string Out() const;
    std::string Err() const;
    // Waits until standard error holds the text.
    bool WaitForLog(const std::string& text, int timeoutMs) const;

private:
    std::string m_out;
    std::string m_err;
    pid_t m_pid = -1;
    int m_status = 0;
};

// A directory under /tmp of the test's own, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};
