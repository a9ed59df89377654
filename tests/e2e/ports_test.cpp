// Every API port taken: holds all of 9191-9199, so CTest runs it alone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.h"

namespace {

// Listeners on every address for each port of 9191-9199 that is free; a port
// someone else holds is taken all the same. Closed when the test ends.
class PortHolder {
public:
    PortHolder()
    {
        for (uint16_t port = 9191; port <= 9199; ++port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            // Connections of earlier tests may linger on the port in TIME_WAIT.
            const int reuse = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0) {
                m_fds.push_back(fd);
            } else {
                ::close(fd);
            }
        }
    }
    ~PortHolder()
    {
        for (const int fd : m_fds) {
            ::close(fd);
        }
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    std::vector<int> m_fds;
};

TEST(Ports, NoneFreeIsLoggedAsAnErrorAndTheDaemonRunsOn)
{
    if (DaemonRunsUnderWine()) {
        GTEST_SKIP() << "Tonvik.exe logs to the debugger";
    }
    const PortHolder ports;
    Daemon daemon(Daemon::Options{.waitForPort = false});
    const std::string expected =
        "tonvik: error: no free port in 9191-9199 on 127.0.0.1: nothing can reach the API; the lighting runs on\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (daemon.Stderr().find(expected) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(daemon.Stderr().find(expected), std::string::npos) << daemon.Stderr();
    int status = 0;
    EXPECT_FALSE(daemon.WaitExit(500, &status)) << "the daemon ended without its API";
    status = daemon.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(daemon.Stderr().find("tonvik: stopped\n"), std::string::npos);
}

}  // namespace
