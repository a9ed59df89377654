#include "host_run.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "host_choices.h"
#include "host_platform.h"
#include "settings_api.h"
#include "text_file.h"
#include "web_server.h"

namespace {

// Layouts bigger than this cannot fit the daemon's one request, even unescaped.
constexpr size_t kMaxLayoutFileBytes = kMaxRequestBytes;

// True when the path names nothing, so a missing host.conf is not an error.
bool PathMissing(const std::string& path)
{
    std::error_code error;
    return !std::filesystem::exists(Utf8Path(path), error) && !error;
}

// The layout as host.conf names it: a bundled name, "layouts/<file>" for one
// the user uploaded, or the file's path.
std::string LayoutRef(const HostSettings& settings, const std::string& storedDir)
{
    if (!settings.bundledLayout.empty()) {
        return settings.bundledLayout;
    }
    const std::filesystem::path file = Utf8Path(settings.layoutPath);
    std::error_code error;
    if (!storedDir.empty() && std::filesystem::equivalent(file.parent_path(), Utf8Path(storedDir), error)) {
        return "layouts/" + file.filename().string();
    }
    return settings.layoutPath;
}

// What a host killed in the middle of writing host.conf or a stored layout
// left behind, once no other host can be writing there.
void RemoveStaleFiles(const std::string& confPath)
{
    const auto report = [](size_t removed, const std::string& directory) {
        if (removed > 0) {
            LogInfo("removed " + std::to_string(removed) + " temporary file" + (removed == 1 ? "" : "s") +
                    " that an earlier host left in " + directory);
        }
    };
    const std::string confName = confPath.substr(DirectoryOf(confPath).size() + 1);
    report(RemoveStaleTemporaryFiles(DirectoryOf(confPath), [&](const std::string& name) { return name == confName; }),
           DirectoryOf(confPath));
    // host.conf may lead elsewhere (a link into a dotfiles checkout); its temporary file is beside the target.
    if (const std::optional<std::string> target = FollowLinks(confPath); target && *target != confPath) {
        const std::string directory = DirectoryOf(*target);
        const std::string targetName = target->substr(directory.empty() ? 0 : directory.size() + 1);
        report(RemoveStaleTemporaryFiles(directory.empty() ? "." : directory,
                                         [&](const std::string& name) { return name == targetName; }),
               directory);
    }
    report(RemoveStaleTemporaryFiles(HostLayoutsDir(), IsStoredFileName), HostLayoutsDir());
}

}  // namespace

HostStart LoadHostSettings(const std::vector<std::string>& args, bool hideAllowed)
{
    HostStart start;
    const std::string confPath = HostConfPath();
    if (!confPath.empty() && !PathMissing(confPath)) {
        const std::optional<std::string> text = ReadTextFile(Utf8Path(confPath), kMaxHostConfBytes);
        if (!text) {
            start.confError = confPath + ": cannot be read";
        } else if (auto error = ReadHostConf(*text, DirectoryOf(confPath), start.settings)) {
            start.confError = confPath + ": " + *error;
        }
    }
    start.command = ParseHostArguments(args, hideAllowed, start.settings);
    return start;
}

int RunHost(const HostSettings& settings, const std::string& webDataDir, StopSignal& stop, const PauseState& pause,
            HostLoop::FrameSink frames, const std::function<void(const std::string& url)>& webReady,
            const std::function<void(const HostChoices* choices)>& hosting)
{
    // Two hosts on one host.conf would each undo the other's changes.
    DirectoryLockPtr confLock;
    if (const std::string confPath = HostConfPath(); !confPath.empty()) {
        LockAttempt attempt = LockDirectory(DirectoryOf(confPath));
        if (!attempt.lock && attempt.error.empty()) {
            LogError("another tonvik-host keeps these settings" +
                     (attempt.holder != 0 ? " (pid " + std::to_string(attempt.holder) + ")" : std::string()));
            return kHostExitConfigError;
        }
        if (!attempt.lock) {
            LogWarning(attempt.error + "; going on without the lock that keeps a second host away");
        } else {
            RemoveStaleFiles(confPath);
        }
        confLock = std::move(attempt.lock);
    }
    const std::string root = settings.webRoot.empty() ? webDataDir : settings.webRoot;
    const std::string layoutPath =
        settings.bundledLayout.empty() ? settings.layoutPath : root + "/layouts/" + settings.bundledLayout + ".json";
    const std::string layoutName = settings.bundledLayout.empty() ? settings.layoutPath : settings.bundledLayout;
    std::string layoutJson;
    if (!layoutPath.empty()) {
        const std::optional<std::string> text = ReadTextFile(Utf8Path(layoutPath), kMaxLayoutFileBytes);
        if (!text || text->empty()) {
            LogError("cannot read the layout " + layoutPath + " (missing, empty, unreadable or over 128 KiB)");
            return kHostExitConfigError;
        }
        if (!LayoutFitsOneRequest(*text)) {
            LogError("the layout " + layoutPath + " is too large for one request to the daemon");
            return kHostExitConfigError;
        }
        layoutJson = *text;
    }
    HostChoices choices({layoutJson, layoutName, settings.effect, settings.listen, settings.delay});
    // The host keeps the user's choices from its first start: with the
    // console served and no layout yet, choosing one is the console's first step.
    std::unique_ptr<SettingsApi> settingsApi;
    if (!layoutJson.empty() || settings.web) {
        SettingsPlaces places{HostConfPath(), HostLayoutsDir(), Utf8Path(root + "/layouts")};
        const std::string ref = LayoutRef(settings, places.storedLayoutsDir);
        settingsApi = std::make_unique<SettingsApi>(choices, std::move(places), ref);
    }

    std::thread web;
    if (settings.web) {
        const net::Socket listener =
            net::SocketLayer::Instance().Ready() ? OpenWebListener(settings.webPort) : net::kInvalidSocket;
        if (listener == net::kInvalidSocket) {
            LogError(settings.webPort != 0 ? "port " + std::to_string(settings.webPort) + " is taken; no web console"
                                           : "no free port from 9190 down to 9100; no web console");
            return kHostExitConfigError;
        }
        const uint16_t port = net::LocalPort(listener);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        LogInfo("serving the web console from " + root + " at " + url + ", with the settings API");
        if (layoutJson.empty()) {
            LogInfo("no layout chosen yet: choose your keyboard's layout in the console at " + url);
        }
        std::error_code error;
        if (!std::filesystem::is_directory(Utf8Path(root + "/web"), error)) {
            LogWarning("there is no web console in " + root + "/web: every page will be missing");
        }
        std::printf("%s\n", url.c_str());
        std::fflush(stdout);
        try {
            web = std::thread([listener, root, port, &settingsApi, &stop] {
                const StaticSite files(Utf8Path(root + "/web"), Utf8Path(root + "/layouts"));
                WebSite site(files, *settingsApi, port);
                ServeWeb(listener, site, stop);
            });
        } catch (const std::system_error&) {
            net::Close(listener);
            LogError("no thread could be started for the web console");
            return kHostExitConfigError;
        }
        if (webReady) {
            webReady(url);
        }
    }

    int status = kHostExitStopped;
    if (settingsApi) {
        const std::unique_ptr<HttpClient> http = OpenHttpClient();
        if (http == nullptr) {
            LogError("the HTTP client library could not be set up");
            status = kHostExitConfigError;
        } else {
            DaemonApi api(*http);
            HostLoop loop(api, stop, choices, pause, settings.port, std::move(frames));
            if (hosting) {
                hosting(&choices);
            }
            if (loop.Run() == HostLoop::Outcome::LayoutRejected) {
                status = kHostExitConfigError;
            }
            if (hosting) {
                hosting(nullptr);
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
