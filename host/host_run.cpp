#include "host_run.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "host_platform.h"
#include "web_server.h"

namespace {

constexpr size_t kMaxConfBytes = 65536;
// Layouts bigger than this cannot fit the daemon's one request, even unescaped.
constexpr size_t kMaxLayoutFileBytes = kMaxRequestBytes;
// The request line's method and version and the client's headers around the target.
constexpr size_t kRequestOverheadBytes = 256;

std::filesystem::path Utf8Path(const std::string& path)
{
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// The whole file; none when it cannot be read or is larger than maxBytes.
std::optional<std::string> ReadTextFile(const std::string& path, size_t maxBytes)
{
    const std::filesystem::path file = Utf8Path(path);
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || std::filesystem::file_size(file, error) > maxBytes || error) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (text.size() > maxBytes) {
        return std::nullopt;
    }
    return text;
}

// True when the path names nothing, so a missing host.conf is not an error.
bool PathMissing(const std::string& path)
{
    std::error_code error;
    return !std::filesystem::exists(Utf8Path(path), error) && !error;
}

}  // namespace

HostStart LoadHostSettings(const std::vector<std::string>& args, bool hideAllowed)
{
    HostStart start;
    const std::string confPath = HostConfPath();
    if (!confPath.empty() && !PathMissing(confPath)) {
        const std::optional<std::string> text = ReadTextFile(confPath, kMaxConfBytes);
        if (!text) {
            start.confError = confPath + ": cannot be read";
        } else if (auto error = ReadHostConf(*text, DirectoryOf(confPath), start.settings)) {
            start.confError = confPath + ": " + *error;
        }
    }
    start.command = ParseHostArguments(args, hideAllowed, start.settings);
    return start;
}

int RunHost(const HostSettings& settings, const std::string& webDataDir, StopSignal& stop, HostLoop::FrameSink frames)
{
    std::string layoutJson;
    if (!settings.layoutPath.empty()) {
        const std::optional<std::string> text = ReadTextFile(settings.layoutPath, kMaxLayoutFileBytes);
        if (!text || text->empty()) {
            LogError("cannot read the layout " + settings.layoutPath + " (missing, empty, unreadable or over 128 KiB)");
            return kHostExitConfigError;
        }
        if (LayoutTarget(*text).size() + kRequestOverheadBytes > kMaxRequestBytes) {
            LogError("the layout " + settings.layoutPath + " is too large for one request to the daemon");
            return kHostExitConfigError;
        }
        layoutJson = *text;
    }

    std::thread web;
    if (settings.web) {
        const std::string root = settings.webRoot.empty() ? webDataDir : settings.webRoot;
        const net::Socket listener = OpenWebListener(settings.webPort);
        if (listener == net::kInvalidSocket) {
            LogError(settings.webPort != 0 ? "port " + std::to_string(settings.webPort) + " is taken; no web console"
                                           : "no free port from 9190 down to 9100; no web console");
            return kHostExitConfigError;
        }
        const std::string url = "http://127.0.0.1:" + std::to_string(net::LocalPort(listener)) + "/";
        LogInfo("serving the web console from " + root + " at " + url);
        std::error_code error;
        if (!std::filesystem::is_directory(Utf8Path(root + "/web"), error)) {
            LogWarning("there is no web console in " + root + "/web: every page will be missing");
        }
        std::printf("%s\n", url.c_str());
        std::fflush(stdout);
        try {
            web = std::thread([listener, root, &stop] {
                const StaticSite site(Utf8Path(root + "/web"), Utf8Path(root + "/layouts"));
                ServeWeb(listener, site, stop);
            });
        } catch (const std::system_error&) {
            net::Close(listener);
            LogError("no thread could be started for the web console");
            return kHostExitConfigError;
        }
    }

    int status = kHostExitStopped;
    if (!layoutJson.empty()) {
        const std::unique_ptr<HttpClient> http = OpenHttpClient();
        if (http == nullptr) {
            LogError("the HTTP client library could not be set up");
            status = kHostExitConfigError;
        } else {
            DaemonApi api(*http);
            HostLoop loop(api, stop, settings, layoutJson, settings.layoutPath, std::move(frames));
            if (loop.Run() == HostLoop::Outcome::LayoutRejected) {
                status = kHostExitConfigError;
            }
        }
        stop.Request();
    }
    while (!stop.WaitFor(60000)) {
    }
    if (web.joinable()) {
        web.join();
    }
    return status;
}
