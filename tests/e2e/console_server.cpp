#include "e2e/console_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/daemon_fixture.h"
#include "e2e/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ConsoleServer::~ConsoleServer()
{
    Stop();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

void ConsoleServer::Stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_pid = -1;
        // A sanitizer build of the host reports on its standard error; any report fails the test.
        const std::string log = Log();
        for (const char* marker : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                                   "ERROR: LeakSanitizer"}) {
            if (log.find(marker) != std::string::npos) {
                ADD_FAILURE() << "tonvik-host reported a sanitizer error:\n" << log;
                break;
            }
        }
    }
}

std::string ConsoleServer::Log() const
{
    return ReadFile(m_dir + "/server.err");
}

bool ConsoleServer::Start(const std::string& sourceDir, const std::string& configHome)
{
    char pattern[] = "/tmp/tonvik-console-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return false;
    }
    m_dir = pattern;
    // The console as users open it: tonvik-host serving the tree's web/ and layouts/.
    const std::string out = m_dir + "/server.out";
    m_pid = SpawnProcess({TONVIK_HOST_PATH, "--web", "--web-root", sourceDir},
                         {{"XDG_CONFIG_HOME", configHome.empty() ? m_dir : configHome}, {"XDG_RUNTIME_DIR", m_dir}},
                         out, m_dir + "/server.err");
    if (m_pid < 0) {
        return false;
    }
    // Its first line on standard output is the address it serves.
    return ReadPort(out, "http://127.0.0.1:");
}

bool ConsoleServer::StartPlain(const std::string& sourceDir)
{
    char pattern[] = "/tmp/tonvik-console-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return false;
    }
    m_dir = pattern;
    // The page's files at the top, the layouts beside them, as the host serves them.
    const std::string site = m_dir + "/site";
    std::error_code error;
    std::filesystem::create_directory(site, error);
    for (const auto& entry : std::filesystem::directory_iterator(sourceDir + "/web", error)) {
        std::filesystem::create_symlink(entry.path(), site + "/" + entry.path().filename().string(), error);
    }
    std::filesystem::create_directory_symlink(sourceDir + "/layouts", site + "/layouts", error);
    const std::string out = m_dir + "/server.out";
    m_pid = SpawnProcess({"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", site}, {},
                         out, m_dir + "/server.err");
    // "Serving HTTP on 127.0.0.1 port 43215 (http://127.0.0.1:43215/) ..."
    return m_pid > 0 && ReadPort(out, " port ");
}

bool ConsoleServer::ReadPort(const std::string& out, const std::string& before)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const std::string text = ReadFile(out);
        const size_t at = text.find(before);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            m_port = static_cast<uint16_t>(std::strtoul(text.c_str() + at + before.size(), nullptr, 10));
            return m_port != 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string ConsoleServer::Url(const std::string& query) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + query;
}
