#include "console_address.h"

#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host_platform.h"
#include "text_file.h"

extern char** environ;

namespace {

constexpr char kAddressHead[] = "http://127.0.0.1:";
constexpr size_t kMaxAddressBytes = 64;
constexpr char kNoHost[] =
    "tonvik-host: no Tonvik host is running, so there is no console to open.\n"
    "Start it with: systemctl --user start tonvik-host\n"
    "(systemctl --user enable --now tonvik tonvik-host starts the daemon and the host at every login.)\n";

// Whether something listens at the address: a file left by a host that was
// killed names a port nobody serves.
bool Listening(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

std::string ConsoleAddressPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && runtime[0] == '/' ? std::string(runtime) + "/tonvik/console" : std::string();
}

bool PublishConsoleAddress(const std::string& url)
{
    const std::string path = ConsoleAddressPath();
    if (path.empty()) {
        return false;
    }
    if (::mkdir(DirectoryOf(path).c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // A file left with wider rights (by hand, say) is narrowed again.
    return WriteFileAtomically(path, url + "\n") == WriteOutcome::Written && ::chmod(path.c_str(), 0600) == 0;
}

void WithdrawConsoleAddress(const std::string& url)
{
    const std::string path = ConsoleAddressPath();
    if (path.empty()) {
        return;
    }
    const std::optional<std::string> text = ReadTextFile(Utf8Path(path), kMaxAddressBytes);
    if (text && (*text == url + "\n")) {
        ::unlink(path.c_str());
    }
}

std::optional<uint16_t> ConsolePortOf(const std::string& text)
{
    std::string_view rest(text);
    if (rest.ends_with('\n')) {
        rest.remove_suffix(1);
    }
    if (!rest.starts_with(kAddressHead) || !rest.ends_with('/')) {
        return std::nullopt;
    }
    rest = rest.substr(sizeof kAddressHead - 1, rest.size() - sizeof kAddressHead);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
    if (error != std::errc() || end != rest.data() + rest.size() || rest.empty() || rest[0] == '0' || port == 0 ||
        port > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

int OpenPublishedConsole()
{
    const std::string path = ConsoleAddressPath();
    const std::optional<std::string> text = path.empty() ? std::nullopt : ReadTextFile(Utf8Path(path), kMaxAddressBytes);
    const std::optional<uint16_t> port = text ? ConsolePortOf(*text) : std::nullopt;
    if (!port || !Listening(*port)) {
        std::fputs(kNoHost, stderr);
        return 1;
    }
    const std::string url = kAddressHead + std::to_string(*port) + "/";
    char program[] = "xdg-open";
    std::string argument = url;
    char* argv[] = {program, argument.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "tonvik-host: cannot run xdg-open to open %s; open it in a browser\n", url.c_str());
        return 1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "tonvik-host: xdg-open could not open %s; open it in a browser\n", url.c_str());
        return 1;
    }
    return 0;
}
