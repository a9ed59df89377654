#include "web_server.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "web_request.h"

namespace {

constexpr int kPollSliceMs = 100;

struct WebConnection {
    net::OwnedSocket socket;
    std::string received;
    std::string reply;  // empty until the head is complete
    size_t sent = 0;
    uint64_t deadline = 0;
};

std::string PlainError(const char* status)
{
    return WebReply(status, "text/plain; charset=utf-8", std::string(status) + "\n");
}

// The reply once the whole request is there; empty while more is to come.
std::string ReplyWhenComplete(const std::string& received, WebSite& site)
{
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 > kMaxWebHeadBytes) {
        return received.size() > kMaxWebHeadBytes ? StaticSite::TooLarge() : std::string();
    }
    const std::string_view head = std::string_view(received).substr(0, end + 4);
    const std::optional<size_t> length = AnnouncedBodyLength(head);
    if (!length) {
        return PlainError("411 Length Required");
    }
    if (*length > kMaxWebBodyBytes) {
        return PlainError("413 Content Too Large");
    }
    if (received.size() < end + 4 + *length) {
        return {};
    }
    return site.Answer(head, std::string_view(received).substr(end + 4, *length));
}

// Reads what has arrived; true while the connection stays open.
bool ReadMore(WebConnection& connection, WebSite& site)
{
    char buffer[4096];
    const long n = net::Receive(connection.socket.Get(), buffer, sizeof buffer);
    if (n == net::kWouldBlock) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    connection.received.append(buffer, static_cast<size_t>(n));
    connection.reply = ReplyWhenComplete(connection.received, site);
    connection.deadline = TickCount64() + kWebIdleLimitMs;
    return true;
}

// Sends what the socket takes; true while there is more to send.
bool WriteMore(WebConnection& connection)
{
    const long n = net::Send(connection.socket.Get(), connection.reply.data() + connection.sent,
                             connection.reply.size() - connection.sent);
    if (n < 0) {
        return false;
    }
    if (n > 0) {
        connection.sent += static_cast<size_t>(n);
        connection.deadline = TickCount64() + kWebIdleLimitMs;
    }
    if (connection.sent < connection.reply.size()) {
        return true;
    }
    net::ShutdownSend(connection.socket.Get());
    return false;
}

}  // namespace

net::Socket OpenWebListener(uint16_t port)
{
    if (port != 0) {
        return net::ListenOnFirstFreePort(net::kLoopbackIpv4, port, port);
    }
    for (uint16_t candidate = kDefaultWebPort; candidate >= kLowestWebPort; --candidate) {
        const net::Socket listener = net::ListenOnFirstFreePort(net::kLoopbackIpv4, candidate, candidate);
        if (listener != net::kInvalidSocket) {
            return listener;
        }
    }
    return net::kInvalidSocket;
}

void ServeWeb(net::Socket listener, WebSite& site, const StopSignal& stop)
{
    const net::OwnedSocket owned(listener);
    std::vector<WebConnection> connections;
    std::vector<net::PollEntry> entries;
    while (!stop.Requested()) {
        entries.clear();
        entries.push_back({listener, connections.size() < kMaxWebConnections, false});
        for (const WebConnection& connection : connections) {
            entries.push_back({connection.socket.Get(), connection.reply.empty(), !connection.reply.empty()});
        }
        if (!net::Poll(entries, kPollSliceMs)) {
            stop.WaitFor(kPollSliceMs);  // a failing wait must not spin
            continue;
        }
        const uint64_t now = TickCount64();
        std::vector<bool> open(connections.size(), true);
        for (size_t i = 0; i < connections.size(); ++i) {
            WebConnection& connection = connections[i];
            const net::PollEntry& entry = entries[i + 1];
            if (connection.reply.empty() && entry.readable) {
                open[i] = ReadMore(connection, site);
            }
            if (open[i] && !connection.reply.empty() && (entry.writable || connection.sent == 0)) {
                open[i] = WriteMore(connection);
            }
            if (open[i] && now > connection.deadline) {
                open[i] = false;
            }
        }
        for (size_t i = connections.size(); i-- > 0;) {
            if (!open[i]) {
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (entries[0].readable) {
            for (net::Socket accepted; connections.size() < kMaxWebConnections &&
                                       (accepted = net::Accept(listener)) != net::kInvalidSocket;) {
                connections.push_back({net::OwnedSocket(accepted), {}, {}, 0, now + kWebIdleLimitMs});
            }
        }
    }
}
