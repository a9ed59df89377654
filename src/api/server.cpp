#include "api/server.h"

#include <chrono>

#include "base/log.h"

namespace {

// How often a waiting server looks at its running flag.
constexpr int kPollSliceMs = 100;

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool HeaderBlockEnded(const std::string& data, size_t searchFrom)
{
    return data.find("\r\n\r\n", searchFrom) != std::string::npos;
}

// Closing a socket that still holds unread request bytes (a body that came
// after the header block) resets the connection, and the peer may lose the
// reply with it. So: signal the end of the reply, let the peer close its side,
// swallowing what it still sends, for a short while at most.
void CloseConnection(net::Socket socket)
{
    constexpr int kLingerMs = 200;
    net::ShutdownSend(socket);
    const int64_t deadline = NowMs() + kLingerMs;
    char discard[4096];
    for (int64_t left = kLingerMs; left > 0; left = deadline - NowMs()) {
        if (net::WaitReadable(socket, static_cast<int>(left)) != net::Wait::Ready ||
            net::Receive(socket, discard, sizeof discard) <= 0) {
            break;
        }
    }
    net::Close(socket);
}

// "a.b.c.d" of an address in host byte order.
std::string Ipv4Text(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace

net::Socket OpenApiListener(uint32_t address)
{
    const std::string where = Ipv4Text(address);
    if (!net::Startup()) {
        LogError("the socket layer did not start: nothing can reach the API; the lighting runs on");
        return net::kInvalidSocket;
    }
    net::ListenFailure failure = net::ListenFailure::NoFreePort;
    const net::Socket listener = net::ListenOnFirstFreePort(address, kFirstApiPort, kLastApiPort, &failure);
    if (listener == net::kInvalidSocket) {
        net::Cleanup();
        if (failure == net::ListenFailure::AddressNotLocal) {
            LogError(where + " is not an address of this machine: nothing can reach the API; the lighting runs on");
        } else {
            LogError("no free port in " + std::to_string(kFirstApiPort) + "-" + std::to_string(kLastApiPort) + " on " +
                     where + ": nothing can reach the API; the lighting runs on");
        }
        return listener;
    }
    const std::string port = std::to_string(net::LocalPort(listener));
    if (address == net::kAnyIpv4) {
        LogInfo("listening on 0.0.0.0:" + port + " (every IPv4 address of this machine)");
    } else {
        LogInfo("listening on " + where + ":" + port);
    }
    return listener;
}

void ApiServerLoop(const Relaxed<bool>& running, net::Socket listener, const RequestHandler& handler)
{
    while (running) {
        if (net::WaitReadable(listener, kPollSliceMs) != net::Wait::Ready) {
            continue;
        }
        const net::Socket client = net::Accept(listener);
        if (client == net::kInvalidSocket) {
            continue;
        }
        HandleApiRequest(client, running, handler);
        CloseConnection(client);
    }
    net::Close(listener);
    net::Cleanup();
}

std::optional<std::string> ReadRequest(net::Socket socket, const Relaxed<bool>& running, const RequestTimeouts& timeouts)
{
    std::string data;
    char chunk[16384];
    const int64_t start = NowMs();
    int64_t firstByte = 0;
    int64_t lastByte = 0;
    while (running && data.size() < kRequestCap) {
        const int64_t now = NowMs();
        int64_t remaining = 0;
        if (data.empty()) {
            remaining = start + timeouts.idleMs - now;
        } else {
            remaining = std::min(lastByte + timeouts.quietMs, firstByte + timeouts.totalMs) - now;
        }
        if (remaining <= 0) {
            break;
        }
        const net::Wait wait = net::WaitReadable(socket, static_cast<int>(std::min<int64_t>(remaining, kPollSliceMs)));
        if (wait == net::Wait::Timeout) {
            continue;
        }
        if (wait == net::Wait::Failed) {
            break;
        }
        const long received = net::Receive(socket, chunk, std::min(sizeof chunk, kRequestCap - data.size()));
        if (received <= 0) {
            break;
        }
        const size_t searchFrom = data.size() >= 3 ? data.size() - 3 : 0;
        data.append(chunk, static_cast<size_t>(received));
        lastByte = NowMs();
        if (firstByte == 0) {
            firstByte = lastByte;
        }
        if (HeaderBlockEnded(data, searchFrom)) {
            break;
        }
    }
    if (!running || data.empty()) {
        return std::nullopt;
    }
    const size_t nul = data.find('\0');
    if (nul != std::string::npos) {
        data.resize(nul);
    }
    return data;
}

void HandleApiRequest(net::Socket socket, const Relaxed<bool>& running, const RequestHandler& handler)
{
    const std::optional<std::string> received = ReadRequest(socket, running, RequestTimeouts{});
    if (!received) {
        return;
    }
    const std::string& request = *received;
    if (request.find("OPTIONS") != std::string::npos) {
        const std::string& reply = PreflightReply();
        net::SendAll(socket, reply.data(), reply.size());
        return;
    }
    SendJsonReply(socket, handler(request));
}

std::string BuildJsonReply(const std::string& body)
{
    std::string reply =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: application/json; charset=utf-8\r\n"
        "Access-Control-Allow-Origin: *\r\n"
        "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
        "Access-Control-Allow-Headers: Content-Type\r\n"
        "Content-Length: ";
    reply += std::to_string(body.size());
    reply += "\r\n\r\n";
    reply += body;
    return reply;
}

const std::string& PreflightReply()
{
    static const std::string reply =
        "HTTP/1.1 200 OK\r\n"
        "Access-Control-Allow-Origin: *\r\n"
        "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
        "Access-Control-Allow-Headers: Content-Type\r\n"
        "Content-Length: 0\r\n\r\n";
    return reply;
}

void SendJsonReply(net::Socket socket, const std::string& body)
{
    const std::string reply = BuildJsonReply(body);
    net::SendAll(socket, reply.data(), reply.size());
}
