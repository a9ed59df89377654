#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The one kind of request a host makes: a GET to the daemon on 127.0.0.1.
// A plain loopback socket on Linux, WinHTTP on Windows; the host core sees only this.
struct HttpReply {
    long status = 0;
    std::string contentType;
    std::string body;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;

    // GETs the target ("/api/...", already percent-encoded) from
    // http://127.0.0.1:port. No reply (refused, timed out after timeoutMs,
    // cut short, or a body larger than kMaxReplyBytes): std::nullopt. Never
    // goes through a proxy. Not for use from two threads at once.
    virtual std::optional<HttpReply> Get(uint16_t port, const std::string& target, int timeoutMs) = 0;
};

// A bound on what one reply may hold: the largest effect reply (10 x 100 keys) is under 100 KB.
constexpr size_t kMaxReplyBytes = 4u << 20;

// The platform's client; nullptr when the library cannot be set up.
std::unique_ptr<HttpClient> OpenHttpClient();
