#include "e2e/console_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ConsoleServer::~ConsoleServer()
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
    }
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

bool ConsoleServer::Start(const std::string& sourceDir)
{
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tonvik-console-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return false;
    }
    m_dir = pattern;
    // The installed arrangement, made of links into the source tree.
    const fs::path root = fs::path(m_dir) / "root";
    std::error_code error;
    fs::create_directory(root, error);
    for (const auto& entry : fs::directory_iterator(fs::path(sourceDir) / "web", error)) {
        fs::create_symlink(entry.path(), root / entry.path().filename(), error);
    }
    fs::create_directory_symlink(fs::path(sourceDir) / "layouts", root / "layouts", error);

    // Port 0: the kernel picks a free one, which the server prints.
    const std::string out = m_dir + "/server.out";
    m_pid = SpawnProcess({"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", root},
                         {}, out, m_dir + "/server.err");
    if (m_pid < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const std::string text = ReadFile(out);
        const size_t at = text.find(" port ");
        if (at != std::string::npos) {
            m_port = static_cast<uint16_t>(std::strtoul(text.c_str() + at + 6, nullptr, 10));
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
