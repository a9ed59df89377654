// The web console finding the daemon among the API ports and telling the user
// where it stands: no daemon, no layout yet, a layout refused, daemon gone.
// Holds every API port, so it runs alone.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/browser.h"
#include "e2e/console_server.h"
#include "e2e/daemon_fixture.h"

namespace {

// A listener that takes connections and never answers, as another program on
// the first API port might.
class SilentPort {
public:
    explicit SilentPort(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int reuse = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_listening = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                      ::listen(m_fd, 16) == 0;
    }
    ~SilentPort() { ::close(m_fd); }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    bool Listening() const { return m_listening; }

private:
    int m_fd;
    bool m_listening = false;
};

std::string StateIs(const std::string& state)
{
    return "document.body.dataset.state === '" + state + "'";
}

TEST(WebConsoleStates, FindsTheDaemonAndSaysWhereItStands)
{
    if (const char* custom = std::getenv("TONVIK_DAEMON_CMD"); custom != nullptr && custom[0] != '\0') {
        GTEST_SKIP() << "the daemon must take the port after the silent one";
    }
    const SilentPort silent(9191);
    ASSERT_TRUE(silent.Listening()) << "port 9191 is taken";
    ConsoleServer server;
    ASSERT_TRUE(server.StartPlain(TONVIK_SOURCE_DIR)) << "the static file server did not start";
    Browser browser;
    ASSERT_TRUE(browser.Start()) << browser.Error() << "\n" << browser.Log();
    Browser::Page page;
    ASSERT_TRUE(browser.Open(server.Url(), page)) << browser.Error();
    const auto status = [&] {
        return browser.Evaluate(page, "document.getElementById('status').textContent").asString();
    };

    EXPECT_TRUE(browser.WaitFor(page, StateIs("no-daemon"), 5000)) << status();
    EXPECT_NE(status().find("ports 9191–9199"), std::string::npos) << status();

    // The daemon comes up behind the silent port; the page keeps looking and finds it.
    Daemon daemon;
    ASSERT_EQ(daemon.Port(), 9192) << daemon.Stderr();
    EXPECT_TRUE(browser.WaitFor(page, StateIs("no-layout"), 6000)) << status();
    EXPECT_NE(status().find("port 9192"), std::string::npos) << status();

    // Layout files of the user's that cannot be used: the reason is shown,
    // the daemon's own when it refused the file.
    std::filesystem::create_directories(TONVIK_WEB_ARTEFACTS);
    const struct {
        const char* file;
        const char* text;
        const char* reason;
    } refused[] = {
        {"empty-layout.json", "", "the file is empty"},
        {"broken-layout.json", R"({"name": "mine", "layouts": {"rows": 6, "cols": "many", "keys": []}})",
         "layout rejected: layouts.cols is not an integer"},
    };
    for (const auto& [file, text, reason] : refused) {
        const std::string path = std::string(TONVIK_WEB_ARTEFACTS) + "/" + file;
        std::ofstream(path) << text;
        ASSERT_TRUE(browser.SetFiles(page, "#layout-file", path)) << browser.Error();
        const std::string shown = "document.getElementById('status').textContent.includes('" + std::string(reason) + "')";
        EXPECT_TRUE(browser.WaitFor(page, StateIs("rejected") + " && " + shown, 5000))
            << status();
    }
    EXPECT_TRUE(browser.Screenshot(page, std::string(TONVIK_WEB_ARTEFACTS) + "/console-rejected.png"))
        << browser.Error();

    daemon.Stop();
    EXPECT_TRUE(browser.WaitFor(page, StateIs("gone"), 5000)) << status();
    EXPECT_NE(status().find("port 9192 stopped answering"), std::string::npos) << status();
}

}  // namespace
