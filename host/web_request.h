#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The parts of an HTTP request head that the web console's server looks at.
struct WebRequest {
    std::string_view head;  // request line and headers, up to the blank line
    std::string_view method;
    std::string_view path;  // the target without its query, escapes kept
    std::string_view body;
};

// Splits the request line; std::nullopt when it is no HTTP/1.x request line.
std::optional<WebRequest> ParseWebRequest(std::string_view head, std::string_view body);

// The value of the first header of that name (any case), trimmed; std::nullopt without one.
std::optional<std::string_view> HeaderValue(std::string_view head, std::string_view name);

// The length a request head announces for its body: 0 without Content-Length,
// std::nullopt when it is not a plain decimal number or the body comes in
// chunks (Transfer-Encoding), which this server does not read.
std::optional<size_t> AnnouncedBodyLength(std::string_view head);

// A whole reply: status line, the server's headers, the body.
std::string WebReply(std::string_view status, std::string_view contentType, std::string_view body,
                     bool withBody = true);

// The server's own origins: a page loaded from http://127.0.0.1:PORT or
// http://localhost:PORT. HostIsOurs: the Host header names one of them (a
// page of another name whose DNS now points at 127.0.0.1 does not).
// OriginIsOurs: the Origin header is one of them.
bool HostIsOurs(std::string_view head, uint16_t port);
bool OriginIsOurs(std::string_view head, uint16_t port);
