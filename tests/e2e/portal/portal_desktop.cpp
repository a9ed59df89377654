#include "e2e/portal/portal_desktop.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "e2e/daemon_fixture.h"
#include "e2e/spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;

bool WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Exists(const std::string& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

void WriteWhole(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".new";
    std::ofstream(temporary) << text;
    std::filesystem::rename(temporary, path);
}

}  // namespace

PortalDesktop::PortalDesktop()
{
    char pattern[] = "/tmp/tonvik-portal-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_dir = pattern;
    for (const char* sub : {"/run", "/home", "/state", "/config", "/data", "/portals", "/script"}) {
        std::filesystem::create_directory(m_dir + sub);
    }
    ::chmod((m_dir + "/run").c_str(), 0700);
    std::filesystem::copy_file(TONVIK_PORTAL_TEST_DIR "/tonvik-test.portal", m_dir + "/portals/tonvik-test.portal");
    m_env = {
        {"XDG_RUNTIME_DIR", m_dir + "/run"},
        {"HOME", m_dir + "/home"},
        {"XDG_STATE_HOME", m_dir + "/state"},
        {"XDG_CONFIG_HOME", m_dir + "/config"},
        {"XDG_DATA_HOME", m_dir + "/data"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir + "/run/bus"},
        {"XDG_CURRENT_DESKTOP", "tonvik-test"},
        {"XDG_DESKTOP_PORTAL_DIR", m_dir + "/portals"},
        {"XDG_SESSION_TYPE", "wayland"},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
    };
}

PortalDesktop::~PortalDesktop()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

bool PortalDesktop::Start(const std::string& picture, std::string& why)
{
    Paint(picture);
    const std::string script = m_dir + "/script";
    if (Launch("dbus-daemon", {"dbus-daemon", "--config-file=" TONVIK_PORTAL_TEST_DIR "/session-bus.conf", "--nofork",
                               "--address=unix:path=" + m_dir + "/run/bus"}) < 0 ||
        !WaitUntil([this] { return Exists(m_dir + "/run/bus"); }, kStartTimeoutMs)) {
        why = "the session bus did not start";
        return false;
    }
    if (Launch("pipewire", {"pipewire"}) < 0 ||
        !WaitUntil([this] { return Exists(m_dir + "/run/pipewire-0"); }, kStartTimeoutMs)) {
        why = "PipeWire did not start";
        return false;
    }
    if (Launch("wireplumber", {"wireplumber"}) < 0) {
        why = "WirePlumber did not start";
        return false;
    }
    if (Launch("backend", {"/usr/bin/python3", TONVIK_PORTAL_TEST_DIR "/screencast_backend.py", script}) < 0 ||
        !WaitUntil([&script] { return Exists(script + "/backend.ready"); }, kStartTimeoutMs)) {
        why = "the test's ScreenCast backend did not start";
        return false;
    }
    if (Launch("permission-store", {"/usr/libexec/xdg-permission-store", "-r"}) < 0 ||
        !WaitUntil([this] { return NameOnBus("org.freedesktop.impl.portal.PermissionStore"); }, kStartTimeoutMs)) {
        why = "the permission store did not start";
        return false;
    }
    if (Launch("portal", {"/usr/libexec/xdg-desktop-portal", "-r"}) < 0 ||
        !WaitUntil([this] { return NameOnBus("org.freedesktop.portal.Desktop"); }, kStartTimeoutMs)) {
        why = "xdg-desktop-portal did not start";
        return false;
    }
    return StartSource(why);
}

bool PortalDesktop::StartSource(std::string& why)
{
    const std::string script = m_dir + "/script";
    m_source = SpawnProcess({TONVIK_TEST_SCREEN_SOURCE, script + "/picture", script + "/node-id"}, m_env,
                            m_dir + "/source.log", m_dir + "/source.log");
    if (m_source < 0 || !WaitUntil([&script] { return Exists(script + "/node-id"); }, kStartTimeoutMs)) {
        why = "the test's screen source did not start";
        return false;
    }
    return true;
}

void PortalDesktop::KillSource()
{
    if (m_source > 0) {
        ::kill(m_source, SIGKILL);
        End(m_source);
        m_source = -1;
    }
    // The backend hands out no stream until a new source is there.
    std::filesystem::remove(m_dir + "/script/node-id");
}

void PortalDesktop::Stop()
{
    if (m_source > 0) {
        ::kill(m_source, SIGTERM);
        End(m_source);
        m_source = -1;
    }
    for (auto server = m_servers.rbegin(); server != m_servers.rend(); ++server) {
        ::kill(server->pid, SIGTERM);
        End(server->pid);
    }
    m_servers.clear();
}

void PortalDesktop::End(pid_t pid)
{
    int status = 0;
    const bool ended = WaitUntil([pid, &status] { return ::waitpid(pid, &status, WNOHANG) != 0; }, kStopTimeoutMs);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

pid_t PortalDesktop::Launch(const std::string& name, const std::vector<std::string>& argv)
{
    const std::string log = m_dir + "/" + name + ".log";
    const pid_t pid = SpawnProcess(argv, m_env, log, log);
    if (pid > 0) {
        m_servers.push_back({name, pid});
    }
    return pid;
}

bool PortalDesktop::NameOnBus(const std::string& name) const
{
    const CommandResult result =
        RunCommand({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                   m_env, 5000);
    return result.exited && result.out.find("boolean true") != std::string::npos;
}

void PortalDesktop::Paint(const std::string& picture) const
{
    WriteWhole(m_dir + "/script/picture", picture + "\n");
}

void PortalDesktop::Decline(bool declining) const
{
    const std::string path = m_dir + "/script/decline";
    if (declining) {
        WriteWhole(path, "");
    } else {
        std::filesystem::remove(path);
    }
}

std::vector<std::pair<std::string, std::string>> PortalDesktop::DaemonEnv() const
{
    return m_env;
}

std::string PortalDesktop::BackendLog() const
{
    return ReadFile(m_dir + "/script/backend.log");
}

std::string PortalDesktop::TokenPath() const
{
    return m_dir + "/state/tonvik/screencast-restore-token";
}

std::string PortalDesktop::ServerLogs() const
{
    std::string text;
    for (const char* name :
         {"dbus-daemon", "pipewire", "wireplumber", "backend", "permission-store", "portal", "source"}) {
        text += std::string("--- ") + name + ":\n" + ReadFile(m_dir + "/" + name + ".log");
    }
    return text;
}
