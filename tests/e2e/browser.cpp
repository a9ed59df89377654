#include "e2e/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "base/decode.h"
#include "e2e/daemon_fixture.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Without the networking switches Chromium keeps calling home, and those
// connections are refused on a closed network.
const char* const kChromiumFlags[] = {
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--window-size=1280,900",
    "--remote-debugging-pipe",
};

std::string MakeTempDir(const char* prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    return ::mkdtemp(pattern.data()) == nullptr ? std::string() : pattern;
}

// A pipe whose ends lie above the descriptors the child is given (3 and 4),
// so that placing one end there never lands on the other.
bool HighPipe(int ends[2])
{
    int raw[2];
    if (::pipe(raw) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        ends[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 10);
        ::close(raw[i]);
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

// Waits for the browser to end, and kills its process group after timeoutMs.
void EndProcessGroup(pid_t pid, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);  // helpers of the browser that outlived it
}

std::string Compact(const Json::Value& value)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

}  // namespace

Browser::~Browser()
{
    Stop();
}

bool Browser::Start()
{
    // A browser that dies must fail the test, not end it on a write to its pipe.
    ::signal(SIGPIPE, SIG_IGN);
    m_profile = MakeTempDir("tonvik-chromium");
    int toBrowser[2];
    int fromBrowser[2];
    if (m_profile.empty() || !HighPipe(toBrowser) || !HighPipe(fromBrowser)) {
        m_error = "no profile directory or pipes";
        return false;
    }
    std::vector<std::string> argv{"/usr/bin/chromium", "--user-data-dir=" + m_profile};
    argv.insert(argv.end(), std::begin(kChromiumFlags), std::end(kChromiumFlags));
    argv.emplace_back("about:blank");
    std::vector<char*> args;
    for (auto& word : argv) {
        args.push_back(word.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string log = m_profile + "/chromium.log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
    posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
    // Its own process group, so that its helper processes can be ended with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int result = posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    m_toBrowser = toBrowser[1];
    m_fromBrowser = fromBrowser[0];
    if (result != 0) {
        m_pid = -1;
        m_error = "cannot start /usr/bin/chromium";
        return false;
    }
    return !Call("Browser.getVersion", Json::objectValue, {}, 20000).isNull();
}

std::string Browser::Log() const
{
    return ReadFile(m_profile + "/chromium.log");
}

void Browser::Stop()
{
    if (m_pid > 0) {
        Json::Value close(Json::objectValue);
        close["id"] = m_nextId++;
        close["method"] = "Browser.close";
        Send(close);
        EndProcessGroup(m_pid, 5000);
        m_pid = -1;
    }
    for (int* fd : {&m_toBrowser, &m_fromBrowser}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (!m_profile.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_profile, ignored);
        m_profile.clear();
    }
}

bool Browser::Send(const Json::Value& message)
{
    std::string text = Compact(message);
    text.push_back('\0');
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(m_toBrowser, text.data() + sent, text.size() - sent);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool Browser::Receive(Json::Value& message, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = m_buffer.find('\0');
        if (end != std::string::npos) {
            const std::string text = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            std::string errors;
            const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
            if (reader->parse(text.data(), text.data() + text.size(), &message, &errors)) {
                return true;
            }
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{m_fromBrowser, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char chunk[65536];
        const ssize_t n = ::read(m_fromBrowser, chunk, sizeof chunk);
        if (n <= 0) {
            return false;  // the browser has gone
        }
        m_buffer.append(chunk, static_cast<size_t>(n));
    }
}

Json::Value Browser::Call(const std::string& method, const Json::Value& params, const std::string& session,
                          int timeoutMs)
{
    Json::Value message(Json::objectValue);
    const int id = m_nextId++;
    message["id"] = id;
    message["method"] = method;
    message["params"] = params;
    if (!session.empty()) {
        message["sessionId"] = session;
    }
    if (m_pid <= 0 || !Send(message)) {
        m_error = method + ": the browser is not running";
        return Json::Value();
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Json::Value reply;
    while (Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (!Receive(reply, static_cast<int>(left))) {
            break;
        }
        // Events and replies to earlier commands that timed out are passed over.
        if (!reply.isMember("id") || reply["id"].asInt() != id) {
            continue;
        }
        if (reply.isMember("error")) {
            m_error = method + ": " + reply["error"]["message"].asString();
            return Json::Value();
        }
        return reply["result"];
    }
    m_error = method + ": no reply";
    return Json::Value();
}

bool Browser::Open(const std::string& url, Page& page)
{
    Json::Value created = Call("Target.createTarget", [&] {
        Json::Value params(Json::objectValue);
        params["url"] = url;
        return params;
    }());
    if (created.isNull()) {
        return false;
    }
    page.target = created["targetId"].asString();
    Json::Value attach(Json::objectValue);
    attach["targetId"] = page.target;
    attach["flatten"] = true;
    const Json::Value attached = Call("Target.attachToTarget", attach);
    page.session = attached["sessionId"].asString();
    return !page.session.empty();
}

bool Browser::Close(const Page& page)
{
    Json::Value params(Json::objectValue);
    params["targetId"] = page.target;
    return !Call("Target.closeTarget", params).isNull();
}

bool Browser::Activate(const Page& page)
{
    Json::Value params(Json::objectValue);
    params["targetId"] = page.target;
    return !Call("Target.activateTarget", params).isNull();
}

Json::Value Browser::Evaluate(const Page& page, const std::string& expression)
{
    Json::Value params(Json::objectValue);
    params["expression"] = expression;
    params["returnByValue"] = true;
    params["awaitPromise"] = true;
    const Json::Value result = Call("Runtime.evaluate", params, page.session);
    if (result.isNull() || result.isMember("exceptionDetails")) {
        if (!result.isNull()) {
            m_error = "Runtime.evaluate: " + Compact(result["exceptionDetails"]);
        }
        return Json::Value();
    }
    return result["result"]["value"];
}

bool Browser::WaitFor(const Page& page, const std::string& expression, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (Evaluate(page, expression) == Json::Value(true)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (Clock::now() < deadline);
    return false;
}

bool Browser::SetFiles(const Page& page, const std::string& selector, const std::string& path)
{
    const Json::Value document = Call("DOM.getDocument", Json::objectValue, page.session);
    Json::Value find(Json::objectValue);
    find["nodeId"] = document["root"]["nodeId"];
    find["selector"] = selector;
    const Json::Value found = Call("DOM.querySelector", find, page.session);
    if (found.isNull() || found["nodeId"].asInt() == 0) {
        return false;
    }
    Json::Value files(Json::objectValue);
    files["nodeId"] = found["nodeId"];
    files["files"].append(path);
    return !Call("DOM.setFileInputFiles", files, page.session).isNull();
}

bool Browser::Screenshot(const Page& page, const std::string& path)
{
    Json::Value params(Json::objectValue);
    params["format"] = "png";
    params["captureBeyondViewport"] = true;
    const Json::Value shot = Call("Page.captureScreenshot", params, page.session, 20000);
    if (shot.isNull()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary);
    out << Base64Decode(shot["data"].asString());
    return static_cast<bool>(out);
}
