#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The console served on 127.0.0.1 as users serve it, by tonvik-host --web: the
// page's files at "/" and the bundled layouts at "/layouts/". Started and
// stopped by its pid; gone with the object.
class ConsoleServer {
public:
    ConsoleServer() = default;
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Serves the source tree's web/ and layouts/; false when it does not start.
    // With a configuration home, the host reads host.conf there (and, with a
    // layout in it, keeps the settings); without, one of its own keeps a
    // user's host.conf out.
    bool Start(const std::string& sourceDir, const std::string& configHome = {});
    // Stops it (SIGTERM, then SIGKILL after 5 s); also done when the object
    // goes. A sanitizer's report in its log fails the test.
    void Stop();
    // The page's URL with the query ("?layout=...").
    std::string Url(const std::string& query = {}) const;
    uint16_t Port() const { return m_port; }
    // What it wrote to its standard error.
    std::string Log() const;

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_dir;
};
