#include "e2e/daemon_fixture.h"

#include <gtest/gtest.h>

#include "e2e/spawn.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The process and all its descendants (the daemon may be started through a
// wrapper such as wine).
std::vector<pid_t> ProcessTree(pid_t root)
{
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        const std::string taskDir = "/proc/" + std::to_string(tree[i]) + "/task";
        DIR* dir = ::opendir(taskDir.c_str());
        if (dir == nullptr) {
            continue;
        }
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::istringstream children(ReadFile(taskDir + "/" + entry->d_name + "/children"));
            pid_t child = 0;
            while (children >> child) {
                tree.push_back(child);
            }
        }
        ::closedir(dir);
    }
    return tree;
}

std::set<unsigned long> SocketInodes(pid_t pid)
{
    std::set<unsigned long> inodes;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fdDir.c_str());
    if (dir == nullptr) {
        return inodes;
    }
    while (dirent* entry = ::readdir(dir)) {
        char target[128] = {};
        const std::string link = fdDir + "/" + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:[", 8) == 0) {
            inodes.insert(std::strtoul(target + 8, nullptr, 10));
        }
    }
    ::closedir(dir);
    return inodes;
}

// The words of an environment variable, split at blanks; none when unset.
std::vector<std::string> EnvWords(const char* name)
{
    std::vector<std::string> words;
    if (const char* value = std::getenv(name); value != nullptr) {
        std::istringstream text(value);
        std::string word;
        while (text >> word) {
            words.push_back(word);
        }
    }
    return words;
}

// Processes outside the daemon's tree that hold its sockets: a Wine program's
// sockets live in the prefix's wineserver (TONVIK_E2E_SOCKET_PIDS).
std::vector<pid_t> ExtraSocketHolders()
{
    std::vector<pid_t> pids;
    for (const auto& word : EnvWords("TONVIK_E2E_SOCKET_PIDS")) {
        pids.push_back(static_cast<pid_t>(std::strtol(word.c_str(), nullptr, 10)));
    }
    return pids;
}

// Runs a command to its end with no input and its output to the files (or
// nowhere); it is killed if it takes longer than timeoutMs. True with the
// wait status when it ended by itself.
bool RunQuietly(const std::vector<std::string>& command, int timeoutMs, const std::string& outputFile = "/dev/null",
                const std::string& errorFile = "/dev/null", const EnvOverrides& env = {}, int* status = nullptr)
{
    const pid_t pid = SpawnProcess(command, env, outputFile, errorFile);
    if (pid < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &waitStatus, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status != nullptr) {
        *status = waitStatus;
    }
    return true;
}

struct ListeningSocket {
    std::string address;  // dotted IPv4
    uint16_t port = 0;
};

ListeningSocket ListeningApiSocket(pid_t root)
{
    std::set<unsigned long> inodes;
    std::vector<pid_t> holders = ProcessTree(root);
    for (pid_t pid : ExtraSocketHolders()) {
        holders.push_back(pid);
    }
    for (pid_t pid : holders) {
        const auto more = SocketInodes(pid);
        inodes.insert(more.begin(), more.end());
    }
    std::istringstream table(ReadFile("/proc/" + std::to_string(root) + "/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (state != "0A" || inodes.count(inode) == 0) {
            continue;
        }
        // The table prints the address as the word in network byte order, in hex.
        const size_t colon = local.find(':');
        const auto port = static_cast<uint16_t>(std::strtoul(local.substr(colon + 1).c_str(), nullptr, 16));
        if (port >= 9191 && port <= 9199) {
            in_addr address{};
            address.s_addr = static_cast<in_addr_t>(std::strtoul(local.substr(0, colon).c_str(), nullptr, 16));
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
            return {dotted, port};
        }
    }
    return {};
}

}  // namespace

std::vector<std::string> DaemonCommand()
{
    std::vector<std::string> command = EnvWords("TONVIK_DAEMON_CMD");
    if (command.empty()) {
        command.push_back(TONVIK_DAEMON_PATH);
    }
    return command;
}

std::vector<std::string> CommandFromEnv(const char* name)
{
    return EnvWords(name);
}

std::string CommandOutput(const std::vector<std::string>& command, int timeoutMs)
{
    return RunCommand(command, {}, timeoutMs).out;
}

CommandResult RunCommand(const std::vector<std::string>& command, const EnvOverrides& env, int timeoutMs)
{
    char pattern[] = "/tmp/tonvik-e2e-output-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return {};
    }
    const std::string dir = pattern;
    CommandResult result;
    result.exited = RunQuietly(command, timeoutMs, dir + "/out", dir + "/err", env, &result.status);
    result.out = ReadFile(dir + "/out");
    result.err = ReadFile(dir + "/err");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

bool DaemonRunsUnderWine()
{
    const std::string program = DaemonCommand().front();
    return program.substr(program.rfind('/') + 1).rfind("wine", 0) == 0;
}

Daemon::Daemon() : Daemon(Options{}) {}

Daemon::Daemon(Options options) : m_options(std::move(options))
{
    m_runtimeDir = m_options.runtimeDir;
    if (m_runtimeDir.empty()) {
        char pattern[] = "/tmp/tonvik-e2e-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_runtimeDir = pattern;
        m_ownsRuntimeDir = true;
    }

    static int instances = 0;
    m_outputPrefix = m_runtimeDir + "/daemon-" + std::to_string(++instances);

    // The daemon's runtime directory is always the fixture's.
    EnvOverrides env;
    for (const auto& entry : m_options.env) {
        if (entry.first != "XDG_RUNTIME_DIR") {
            env.push_back(entry);
        }
    }
    env.emplace_back("XDG_RUNTIME_DIR", m_runtimeDir);
    // Screen mode never reaches the desktop the tests run in (its portal
    // would ask its user): an X11 session unless the test says otherwise.
    const EnvOverrides x11Session{{"XDG_SESSION_TYPE", "x11"}, {"WAYLAND_DISPLAY", ""}};
    for (const auto& variable : x11Session) {
        const auto named = [&variable](const auto& entry) { return entry.first == variable.first; };
        if (std::none_of(env.begin(), env.end(), named)) {
            env.push_back(variable);
        }
    }
    std::vector<std::string> command = m_options.command.empty() ? DaemonCommand() : m_options.command;
    command.insert(command.end(), m_options.args.begin(), m_options.args.end());
    m_pid = SpawnProcess(command, env, m_outputPrefix + ".stdout", m_outputPrefix + ".stderr");
    if (m_pid < 0) {
        throw std::runtime_error("cannot start " + command[0]);
    }
    if (m_options.waitForPort) {
        WaitForPort(20000);
    }
}

Daemon::~Daemon()
{
    if (m_pid > 0) {
        Stop(SIGTERM, 10000);
    }
    // A sanitizer build of the daemon reports on its standard error; any report fails the test.
    const std::string errors = Stderr();
    for (const char* marker : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                               "ERROR: LeakSanitizer"}) {
        if (errors.find(marker) != std::string::npos) {
            ADD_FAILURE() << "the daemon reported a sanitizer error:\n" << errors;
            break;
        }
    }
    if (m_ownsRuntimeDir) {
        std::error_code ignored;
        std::filesystem::remove_all(m_runtimeDir, ignored);
    }
}

uint16_t Daemon::WaitForPort(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline && m_pid > 0) {
        const ListeningSocket listening = ListeningApiSocket(m_pid);
        m_port = listening.port;
        m_listenAddress = listening.address;
        if (m_port != 0) {
            return m_port;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

bool Daemon::WaitExit(int timeoutMs, int* status)
{
    if (m_pid <= 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (::waitpid(m_pid, status, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < deadline);
    return false;
}

int Daemon::Stop(int signal, int timeoutMs)
{
    int status = 0;
    if (m_pid <= 0) {
        return status;
    }
    const std::vector<std::string> closeCommand = EnvWords("TONVIK_DAEMON_STOP_CMD");
    if (signal == SIGTERM && !closeCommand.empty()) {
        RunQuietly(closeCommand, timeoutMs);
    } else {
        ::kill(m_pid, signal);
    }
    if (!WaitExit(timeoutMs, &status)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    return status;
}

std::string Daemon::Stdout() const
{
    return ReadFile(m_outputPrefix + ".stdout");
}

std::string Daemon::Stderr() const
{
    return ReadFile(m_outputPrefix + ".stderr");
}

std::string Daemon::StderrNoise() const
{
    std::istringstream lines(Stderr());
    std::string noise;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("tonvik: ", 0) != 0) {
            noise += line + "\n";
        }
    }
    return noise;
}

int ConnectLoopback(uint16_t port)
{
    return ConnectTo(INADDR_LOOPBACK, port);
}

int ConnectTo(uint32_t host, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Exchange(uint16_t port, const std::string& request, int timeoutMs)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
        return {};
    }
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (::poll(&entry, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

HttpReply SplitReply(const std::string& raw)
{
    HttpReply reply;
    reply.raw = raw;
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) {
        reply.head = raw;
        return reply;
    }
    reply.head = raw.substr(0, end);
    reply.body = raw.substr(end + 4);
    return reply;
}

HttpReply Get(uint16_t port, const std::string& target)
{
    return SplitReply(Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                         "\r\nAccept: */*\r\n\r\n"));
}

std::string MissingInOrder(const std::string& text, const std::vector<std::string>& parts)
{
    size_t from = 0;
    for (const std::string& part : parts) {
        const size_t at = text.find(part, from);
        if (at == std::string::npos) {
            return part;
        }
        from = at + part.size();
    }
    return {};
}

std::string ExpectedJsonReply(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Access-Control-Allow-Origin: *\r\n"
           "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
           "Access-Control-Allow-Headers: Content-Type\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> KeyColours(const std::string& body)
{
    std::vector<std::string> colours;
    const std::string marker = "\"color\":\"";
    for (size_t at = body.find(marker); at != std::string::npos; at = body.find(marker, at + 1)) {
        colours.push_back(body.substr(at + marker.size(), 7));
    }
    return colours;
}

std::string PercentEncode(const std::string& text)
{
    std::string encoded;
    for (const unsigned char ch : text) {
        if (std::isalnum(ch) != 0) {
            encoded += static_cast<char>(ch);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", ch);
            encoded += escape;
        }
    }
    return encoded;
}
