#include "static_site.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>

#include "web_request.h"

namespace {

// The console is a few small files; anything bigger is not one of them.
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

std::string Reply(const char* status, std::string_view contentType, const std::string& body, bool withBody = true)
{
    return WebReply(status, contentType, body, withBody);
}

std::string Error(const char* status)
{
    return Reply(status, "text/plain; charset=utf-8", std::string(status) + "\n");
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The path's percent escapes decoded; std::nullopt for a broken escape.
std::optional<std::string> PercentDecoded(std::string_view path)
{
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '%') {
            out += path[i];
            continue;
        }
        if (i + 2 >= path.size() || HexDigit(path[i + 1]) < 0 || HexDigit(path[i + 2]) < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(HexDigit(path[i + 1]) * 16 + HexDigit(path[i + 2]));
        i += 2;
    }
    return out;
}

bool Inside(const std::filesystem::path& file, const std::filesystem::path& dir)
{
    std::error_code error;
    const auto realFile = std::filesystem::canonical(file, error);
    if (error) {
        return false;
    }
    const auto realDir = std::filesystem::canonical(dir, error);
    if (error) {
        return false;
    }
    const auto [dirEnd, fileAt] = std::mismatch(realDir.begin(), realDir.end(), realFile.begin(), realFile.end());
    return dirEnd == realDir.end();
}

}  // namespace

std::string_view ContentTypeFor(const std::filesystem::path& file)
{
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    const std::string extension = file.extension().string();
    for (const auto& [suffix, type] : kTypes) {
        if (extension == suffix) {
            return type;
        }
    }
    return {};
}

StaticSite::StaticSite(std::filesystem::path webDir, std::filesystem::path layoutsDir)
    : m_webDir(std::move(webDir)), m_layoutsDir(std::move(layoutsDir))
{
}

std::string StaticSite::TooLarge()
{
    return Error("431 Request Header Fields Too Large");
}

std::string StaticSite::Answer(std::string_view head) const
{
    const std::string_view line = head.substr(0, head.find("\r\n"));
    const size_t methodEnd = line.find(' ');
    const size_t targetEnd = methodEnd == std::string_view::npos ? methodEnd : line.find(' ', methodEnd + 1);
    if (targetEnd == std::string_view::npos || !line.substr(targetEnd + 1).starts_with("HTTP/1.")) {
        return Error("400 Bad Request");
    }
    const std::string_view method = line.substr(0, methodEnd);
    if (method != "GET" && method != "HEAD") {
        std::string reply = Error("405 Method Not Allowed");
        reply.insert(reply.find("\r\n\r\n") + 2, "Allow: GET, HEAD\r\n");
        return reply;
    }
    std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    target = target.substr(0, target.find_first_of("?#"));
    if (!target.starts_with('/')) {
        return Error("400 Bad Request");
    }
    const std::optional<std::string> path = PercentDecoded(target);
    if (!path) {
        return Error("400 Bad Request");
    }
    if (path->find('\0') != std::string::npos || path->find('\\') != std::string::npos ||
        path->find("/../") != std::string::npos || path->ends_with("/..")) {
        return Error("403 Forbidden");
    }
    std::filesystem::path base = m_webDir;
    std::string relative = path->substr(1);
    if (relative.starts_with("layouts/")) {
        base = m_layoutsDir;
        relative = relative.substr(8);
    }
    if (relative.empty() || relative.ends_with('/')) {
        relative += "index.html";
    }
    const std::filesystem::path file = base / relative;
    std::error_code error;
    const std::string_view type = ContentTypeFor(file);
    if (type.empty() || !std::filesystem::is_regular_file(file, error) || !Inside(file, base)) {
        return Error("404 Not Found");
    }
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    if (error || size > kMaxFileBytes || !in) {
        return Error("404 Not Found");
    }
    const std::string body{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return Reply("200 OK", type, body, method == "GET");
}
