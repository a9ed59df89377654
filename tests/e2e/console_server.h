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
    bool Start(const std::string& sourceDir);
    // The page's URL with the query ("?layout=...").
    std::string Url(const std::string& query = {}) const;

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_dir;
};
