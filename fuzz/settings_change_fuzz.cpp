// A settings change as the host's web thread makes it: the first byte picks
// the route (a change, an upload, a removal, a read), the rest is the body or
// the removed name. host.conf and the stored layouts live in a scratch
// directory in memory, made anew for each input; no daemon answers, so an
// upload is never stored. Whatever the request, host.conf afterwards is
// either as it was or a file the host reads back without error.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_check.h"
#include "host_choices.h"
#include "host_settings.h"
#include "settings_api.h"
#include "web_request.h"

namespace {

namespace fs = std::filesystem;

constexpr char kBoard[] = R"({"name": "board", "layouts": {"rows": 2, "cols": 2, "keys": []}})";
constexpr char kConf[] = "# mine\nlayout = board\nmode = 7\n";

void Write(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Once per run: /dev/shm when there is one, so that the host's fsyncs cost nothing.
const fs::path& Scratch()
{
    static const fs::path dir = [] {
        std::string pattern = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/tonvik-fuzz-XXXXXX");
        Require(::mkdtemp(pattern.data()) != nullptr, "no scratch directory");
        fs::create_directories(fs::path(pattern) / "bundled");
        Write(fs::path(pattern) / "bundled/board.json", kBoard);
        Write(fs::path(pattern) / "bundled/index.json", R"([{"file": "board", "name": "Board"}])");
        return fs::path(pattern);
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const fs::path& dir = Scratch();
    std::error_code ignored;
    fs::remove_all(dir / "layouts", ignored);
    fs::create_directories(dir / "layouts");
    Write(dir / "layouts/user-0123456789abcdef.json", kBoard);
    Write(dir / "host.conf", kConf);

    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    static const char* const kRoutes[] = {"POST /api/settings", "POST /api/layouts", "GET /api/settings",
                                          "GET /api/settings/layout", "DELETE /api/layouts/"};
    const std::string route = kRoutes[data[0] % std::size(kRoutes)];
    const bool removal = route.starts_with("DELETE");
    std::string line = route;
    if (removal) {
        line += rest.substr(0, rest.find_first_of(" \r\n"));
    }
    const std::string head = line + " HTTP/1.1\r\nHost: 127.0.0.1:9190\r\n\r\n";
    const std::string body = removal ? std::string() : rest;
    const auto request = ParseWebRequest(head, body);
    Require(request.has_value(), "the harness's own request line is refused");

    HostChoices choices({kBoard, "board", EffectSettings{}, CaptureSource{}, CaptureDelay{}});
    SettingsApi api(choices, {(dir / "host.conf").string(), (dir / "layouts").string(), dir / "bundled"}, "board");
    const std::string reply = api.Answer(*request);
    Require(reply.starts_with("HTTP/1.1 "), "a reply without a status line");

    const std::string after = Read(dir / "host.conf");
    if (after != kConf) {
        HostSettings settings;
        Require(!ReadHostConf(after, dir.string(), settings).has_value(), "a change left host.conf unreadable");
        Require(after.starts_with("# mine\n"), "a change lost the user's comment");
    }
    Require(fs::exists(dir / "layouts/user-0123456789abcdef.json") ||
                (removal && reply.starts_with("HTTP/1.1 200 ")),
            "a stored layout went without a removal");
    return 0;
}
