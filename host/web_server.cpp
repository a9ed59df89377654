#include "web_server.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "web_request.h"

namespace {

constexpr int kPollSliceMs = 100;
// Connections taken per round when every slot is full; fewer than the slots,
// so that one round never closes a connection it has just taken.
constexpr size_t kAcceptsPerRound = kMaxWebConnections / 4;

struct WebConnection {
    net::OwnedSocket socket;
    uint64_t number = 0;  // in the order of acceptance
    uint64_t acceptedMs = 0;
    uint64_t lastProgressMs = 0;
    bool headWhole = false;
    std::string received;
    std::string reply;  // empty until the request is whole
    size_t sent = 0;
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
    const BodyLength length = AnnouncedBodyLength(head, kMaxWebBodyBytes);
    if (length.refusal != nullptr) {
        return PlainError(length.refusal);
    }
    if (received.size() < end + 4 + length.bytes) {
        return {};
    }
    return site.Answer(head, std::string_view(received).substr(end + 4, length.bytes));
}

// Reads what has arrived; true while the connection stays open.
bool ReadMore(WebConnection& connection, WebSite& site, uint64_t now)
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
    connection.headWhole = connection.headWhole || connection.received.find("\r\n\r\n") != std::string::npos;
    connection.reply = ReplyWhenComplete(connection.received, site);
    connection.lastProgressMs = now;
    return true;
}

// Sends what the socket takes; true while there is more to send.
bool WriteMore(WebConnection& connection, uint64_t now)
{
    const long n = net::Send(connection.socket.Get(), connection.reply.data() + connection.sent,
                             connection.reply.size() - connection.sent);
    if (n < 0) {
        return false;
    }
    if (n > 0) {
        connection.sent += static_cast<size_t>(n);
        connection.lastProgressMs = now;
    }
    if (connection.sent < connection.reply.size()) {
        return true;
    }
    net::ShutdownSend(connection.socket.Get());
    return false;
}

// The limits are counted from the connection, not from its last byte: a
// client that sends one byte a second gets no more time than one that sends
// nothing.
bool PastItsTime(const WebConnection& connection, uint64_t now)
{
    if (!connection.reply.empty()) {
        return now > connection.lastProgressMs + kWebSendLimitMs;
    }
    return now > connection.acceptedMs + (connection.headWhole ? kWebRequestLimitMs : kWebHeadLimitMs);
}

// The connection whose last byte came or went earliest (the first accepted of equals).
std::vector<WebConnection>::iterator IdlestConnection(std::vector<WebConnection>& connections)
{
    return std::min_element(connections.begin(), connections.end(), [](const auto& a, const auto& b) {
        return a.lastProgressMs != b.lastProgressMs ? a.lastProgressMs < b.lastProgressMs : a.number < b.number;
    });
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
    uint64_t accepted = 0;
    while (!stop.Requested()) {
        entries.clear();
        entries.push_back({listener, true, false});
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
                open[i] = ReadMore(connection, site, now);
            }
            if (open[i] && !connection.reply.empty() && (entry.writable || connection.sent == 0)) {
                open[i] = WriteMore(connection, now);
            }
            if (open[i] && PastItsTime(connection, now)) {
                open[i] = false;
            }
        }
        for (size_t i = connections.size(); i-- > 0;) {
            if (!open[i]) {
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (entries[0].readable) {
            for (size_t taken = 0; taken < kAcceptsPerRound || connections.size() < kMaxWebConnections; ++taken) {
                const net::Socket socket = net::Accept(listener);
                if (socket == net::kInvalidSocket) {
                    break;
                }
                if (connections.size() >= kMaxWebConnections) {
                    connections.erase(IdlestConnection(connections));
                }
                WebConnection& connection = connections.emplace_back();
                connection.socket = net::OwnedSocket(socket);
                connection.number = ++accepted;
                connection.acceptedMs = now;
                connection.lastProgressMs = now;
            }
        }
    }
}
