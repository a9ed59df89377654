#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Runs the real daemon for end-to-end tests and talks raw HTTP to it.
//
// The daemon is started with a private XDG_RUNTIME_DIR (so its single-instance
// lock is its own) and its output captured to files there. Its port is read
// from the kernel's socket tables for its own process, so several daemons on
// one machine never confuse a test.
class Daemon {
public:
    struct Options {
        std::vector<std::pair<std::string, std::string>> env{};  // added to or replacing the inherited environment
        std::string runtimeDir{};                                // empty: a fresh private directory
        bool waitForPort = true;
        std::vector<std::string> command{};                      // empty: DaemonCommand()
        std::vector<std::string> args{};                         // after the daemon command
    };

    Daemon();
    explicit Daemon(Options options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t Pid() const { return m_pid; }
    uint16_t Port() const { return m_port; }
    // The local address of the listening socket, as the kernel reports it ("127.0.0.1").
    const std::string& ListenAddress() const { return m_listenAddress; }
    const std::string& RuntimeDir() const { return m_runtimeDir; }

    // Polls until the daemon listens on one of 9191-9199; 0 on time-out.
    uint16_t WaitForPort(int timeoutMs);

    // Waits for the process to end by itself; true with its wait status.
    bool WaitExit(int timeoutMs, int* status);

    // Sends the signal and waits; after timeoutMs it is killed. Returns the wait
    // status. A SIGTERM becomes the command in TONVIK_DAEMON_STOP_CMD when that
    // is set (a Windows program under Wine is closed through its window).
    int Stop(int signal = SIGTERM, int timeoutMs = 10000);

    bool Running() const { return m_pid > 0; }
    // What this daemon wrote (each daemon has files of its own in the runtime dir).
    std::string Stdout() const;
    std::string Stderr() const;
    // Standard-error lines that are not the daemon's own log lines ("tonvik: ..."):
    // library noise, sanitizer reports.
    std::string StderrNoise() const;

private:
    Options m_options;
    std::string m_runtimeDir;
    bool m_ownsRuntimeDir = false;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_listenAddress;
    std::string m_outputPrefix;
};

// The command that starts the daemon: TONVIK_DAEMON_CMD split at blanks, or the built binary.
std::vector<std::string> DaemonCommand();

// An environment variable's command, split at blanks; empty when unset.
std::vector<std::string> CommandFromEnv(const char* name);

// What the command writes to standard output; it is killed after timeoutMs.
std::string CommandOutput(const std::vector<std::string>& command, int timeoutMs);

struct CommandResult {
    bool exited = false;  // by itself, before the time-out
    int status = 0;       // its wait status when it did
    std::string out;
    std::string err;
};

// Runs the command to its end with the extra environment; it is killed after timeoutMs.
CommandResult RunCommand(const std::vector<std::string>& command,
                         const std::vector<std::pair<std::string, std::string>>& env, int timeoutMs);

// True when that command is Wine running Tonvik.exe. Its sockets are then held
// by the prefix's wineserver, whose pid TONVIK_E2E_SOCKET_PIDS names, and its
// single-instance mutex spans the whole prefix.
bool DaemonRunsUnderWine();

// A connected TCP socket to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);
// The same to another address (host byte order) of the loopback range, which
// a listener on 127.0.0.1 alone does not serve.
int ConnectTo(uint32_t address, uint16_t port);

// Sends the bytes, then reads until the server closes (or timeoutMs passes).
std::string Exchange(uint16_t port, const std::string& request, int timeoutMs = 5000);

struct HttpReply {
    std::string raw;
    std::string head;  // status line and headers, without the blank line
    std::string body;
};

HttpReply SplitReply(const std::string& raw);

// A plain GET of the target ("/api/...") as a browser-like client sends it.
HttpReply Get(uint16_t port, const std::string& target);

// The first of the parts that the text does not hold after the part before
// it (a log line missing or out of order); empty when all are there in order.
std::string MissingInOrder(const std::string& text, const std::vector<std::string>& parts);

// The exact envelope the daemon wraps every JSON body in.
std::string ExpectedJsonReply(const std::string& body);

// The "color" texts of the effect reply's keys in reply order: column by
// column, every row of a column (a layout without keys lists every cell).
std::vector<std::string> KeyColours(const std::string& body);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Every byte but ASCII letters and digits as %XX, as a layout travels in a
// request target.
std::string PercentEncode(const std::string& text);
