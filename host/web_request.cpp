#include "web_request.h"

#include <charconv>

namespace {

constexpr char kLengthRequired[] = "411 Length Required";
constexpr char kTooLarge[] = "413 Content Too Large";

bool SameLetters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsOurAuthority(std::string_view authority, uint16_t port)
{
    const size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view name = authority.substr(0, colon);
    return (name == "127.0.0.1" || name == "localhost") && authority.substr(colon + 1) == std::to_string(port);
}

}  // namespace

std::optional<WebRequest> ParseWebRequest(std::string_view head, std::string_view body)
{
    const std::string_view line = head.substr(0, head.find("\r\n"));
    const size_t methodEnd = line.find(' ');
    const size_t targetEnd = methodEnd == std::string_view::npos ? methodEnd : line.find(' ', methodEnd + 1);
    if (targetEnd == std::string_view::npos || !line.substr(targetEnd + 1).starts_with("HTTP/1.")) {
        return std::nullopt;
    }
    const std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    return WebRequest{head, line.substr(0, methodEnd), target.substr(0, target.find_first_of("?#")), body};
}

std::optional<std::string_view> HeaderValue(std::string_view head, std::string_view name)
{
    size_t start = head.find("\r\n");
    while (start != std::string_view::npos && start + 2 < head.size()) {
        start += 2;
        const size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameLetters(line.substr(0, colon), name)) {
            return Trimmed(line.substr(colon + 1));
        }
        start = end;
    }
    return std::nullopt;
}

BodyLength AnnouncedBodyLength(std::string_view head, size_t maxBytes)
{
    if (HeaderValue(head, "Transfer-Encoding")) {
        return {0, kLengthRequired};
    }
    const std::optional<std::string_view> length = HeaderValue(head, "Content-Length");
    if (!length) {
        const std::string_view method = head.substr(0, head.find(' '));
        const bool carriesBody = method == "POST" || method == "PUT" || method == "PATCH";
        return {0, carriesBody ? kLengthRequired : nullptr};
    }
    if (length->empty() || length->find_first_not_of("0123456789") != std::string_view::npos) {
        return {0, kLengthRequired};
    }
    size_t value = 0;
    const std::errc error = std::from_chars(length->data(), length->data() + length->size(), value).ec;
    if (error == std::errc::result_out_of_range || value > maxBytes) {
        return {0, kTooLarge};
    }
    return {value, nullptr};
}

std::string WebReply(std::string_view status, std::string_view contentType, std::string_view body, bool withBody)
{
    std::string reply = "HTTP/1.1 " + std::string(status) + "\r\n";
    reply += "Content-Type: " + std::string(contentType) + "\r\n";
    reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    reply += "X-Content-Type-Options: nosniff\r\nCache-Control: no-cache\r\nConnection: close\r\n";
    reply += "\r\n";
    if (withBody) {
        reply += body;
    }
    return reply;
}

bool HostIsOurs(std::string_view head, uint16_t port)
{
    const std::optional<std::string_view> host = HeaderValue(head, "Host");
    return host && IsOurAuthority(*host, port);
}

bool OriginIsOurs(std::string_view head, uint16_t port)
{
    const std::optional<std::string_view> origin = HeaderValue(head, "Origin");
    return origin && origin->starts_with("http://") && IsOurAuthority(origin->substr(7), port);
}
