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

// The length a request head announces for its body, or the status that
// refuses it: "411 Length Required" for a POST, PUT or PATCH without
// Content-Length, for a length that is no plain decimal number and for a body
// in chunks (Transfer-Encoding), which this server does not read; "413 Content
// Too Large" for one over maxBytes (a number too large to hold included).
// Other methods without Content-Length have no body.
struct BodyLength {
    size_t bytes = 0;
    const char* refusal = nullptr;
};
BodyLength AnnouncedBodyLength(std::string_view head, size_t maxBytes);

// A whole reply: status line, the server's headers, the body.
std::string WebReply(std::string_view status, std::string_view contentType, std::string_view body,
                     bool withBody = true);

// The server's own origins: a page loaded from http://127.0.0.1:PORT or
// http://localhost:PORT. HostIsOurs: the Host header names one of them (a
// page of another name whose DNS now points at 127.0.0.1 does not).
// OriginIsOurs: the Origin header is one of them.
bool HostIsOurs(std::string_view head, uint16_t port);
bool OriginIsOurs(std::string_view head, uint16_t port);
