#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The console served on 127.0.0.1: as users serve it, by tonvik-host --web,
// or by a plain file server that is no host (the page then drives the daemon
// itself): the page's files at "/" and the bundled layouts at "/layouts/".
// Started and stopped by its pid; gone with the object.
class ConsoleServer {
public:
    ConsoleServer() = default;
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Serves the source tree's web/ and layouts/; false when it does not start.
    // With a configuration home, the host reads and keeps host.conf there;
    // without, one of its own keeps a user's host.conf out.
    bool Start(const std::string& sourceDir, const std::string& configHome = {});
    // The same files from Python's http.server, which answers no /api/ path.
    bool StartPlain(const std::string& sourceDir);
    // Stops it (SIGTERM, then SIGKILL after 5 s); also done when the object
    // goes. A sanitizer's report in its log fails the test.
    void Stop();
    // The page's URL with the query ("?layout=...").
    std::string Url(const std::string& query = {}) const;
    uint16_t Port() const { return m_port; }
    // What it wrote to its standard error.
    std::string Log() const;

private:
    // Waits for the first line of standard output that holds `before` and a
    // port number after it; false after 10 s.
    bool ReadPort(const std::string& out, const std::string& before);

    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_dir;
};
