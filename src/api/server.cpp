#include "api/server.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "api/connection.h"
#include "api/request_line.h"
#include "base/clock.h"
#include "base/log.h"

namespace {

// The longest wait between looks at the running flag while connections are
// open; with none open the wait has no end, and the stop knocks on the listener.
constexpr int64_t kPollSliceMs = 100;
constexpr int64_t kNoDeadline = INT64_MAX;

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Client {
    net::OwnedSocket socket;
    Connection connection;
};

// The server thread's connections and the listener they come from.
class ConnectionPool {
public:
    ConnectionPool(net::OwnedSocket listener, const RequestHandler& handler)
        : m_listener(std::move(listener)), m_handler(handler)
    {
    }

    // One round: wait for sockets or the nearest deadline, move bytes, answer
    // what is complete, let go of what is finished.
    void Turn()
    {
        const int64_t wake = PreparePoll(NowMs());
        const int timeoutMs = wake == kNoDeadline ? -1 : static_cast<int>(std::max<int64_t>(0, wake - NowMs()));
        if (!net::Poll(m_entries, timeoutMs)) {
            SleepMs(static_cast<uint32_t>(kPollSliceMs));  // a failing wait must not spin
            return;
        }
        const int64_t now = NowMs();
        // Entry 0 is the listener; the clients follow in order.
        for (size_t i = 0; i < m_clients.size(); ++i) {
            if (m_entries[i + 1].readable) {
                Receive(m_clients[i], now);
            }
            if (m_entries[i + 1].writable) {
                Flush(m_clients[i], now);
            }
        }
        if (m_entries[0].readable) {
            Admit(now);
        }
        for (Client& client : m_clients) {
            client.connection.OnTime(now);
        }
        AnswerReady();
        std::erase_if(m_clients, [](const Client& client) {
            return client.connection.State() == Connection::Phase::Closed;
        });
    }

private:
    // Fills the poll set; returns when the wait must end at the latest.
    int64_t PreparePoll(int64_t now)
    {
        int64_t wake = m_clients.empty() ? kNoDeadline : now + kPollSliceMs;
        bool listening = now >= m_acceptPausedUntil && (m_clients.size() < kMaxApiConnections || HasIdle());
        if (now < m_acceptPausedUntil) {
            wake = std::min(wake, m_acceptPausedUntil);
        }
        m_entries.clear();
        m_entries.push_back({m_listener.Get(), listening, false});
        for (const Client& client : m_clients) {
            m_entries.push_back({client.socket.Get(), client.connection.WantsRead(), client.connection.WantsWrite()});
            wake = std::min(wake, client.connection.DeadlineMs());
        }
        return wake;
    }

    bool HasIdle() const
    {
        return std::any_of(m_clients.begin(), m_clients.end(), [](const Client& c) { return c.connection.Idle(); });
    }

    void Admit(int64_t now)
    {
        net::OwnedSocket socket(net::Accept(m_listener.Get()));
        if (socket.Get() == net::kInvalidSocket) {
            // Out of descriptors, say: the connection stays queued and the
            // listener readable, so trying again at once would spin.
            m_acceptPausedUntil = now + kPollSliceMs;
            return;
        }
        if (m_clients.size() >= kMaxApiConnections) {
            // Clients are kept in the order they came, so the first idle one is the oldest.
            const auto oldest = std::find_if(m_clients.begin(), m_clients.end(),
                                             [](const Client& c) { return c.connection.Idle(); });
            if (oldest == m_clients.end()) {
                return;
            }
            m_clients.erase(oldest);
        }
        m_clients.push_back({std::move(socket), Connection(now)});
    }

    static void Receive(Client& client, int64_t now)
    {
        char chunk[16384];
        const size_t room = client.connection.ReceiveRoom(sizeof chunk);
        if (room == 0) {
            return;
        }
        const long received = net::Receive(client.socket.Get(), chunk, room);
        if (received == net::kWouldBlock) {
            return;
        }
        if (received <= 0) {
            client.connection.OnReceiveEnded();
            return;
        }
        client.connection.OnReceived(std::string_view(chunk, static_cast<size_t>(received)), now);
    }

    static void Flush(Client& client, int64_t now)
    {
        if (!client.connection.WantsWrite()) {
            return;
        }
        while (client.connection.WantsWrite()) {
            const std::string_view unsent = client.connection.Unsent();
            const long sent = net::Send(client.socket.Get(), unsent.data(), unsent.size());
            if (sent < 0) {
                client.connection.OnSendFailed();
                return;
            }
            client.connection.OnSent(static_cast<size_t>(sent), now);
            if (sent == 0) {
                break;  // the send buffer is full: wait until it drains
            }
        }
        if (client.connection.State() == Connection::Phase::Lingering) {
            net::ShutdownSend(client.socket.Get());
        }
    }

    void AnswerReady()
    {
        for (Client& client : m_clients) {
            if (client.connection.State() != Connection::Phase::Ready) {
                continue;
            }
            std::string reply = AnswerRequest(client.connection.TakeRequest(), m_handler);
            const int64_t now = NowMs();
            client.connection.SetReply(std::move(reply), now);
            Flush(client, now);
        }
    }

    net::OwnedSocket m_listener;
    const RequestHandler& m_handler;
    std::vector<Client> m_clients;
    std::vector<net::PollEntry> m_entries;
    int64_t m_acceptPausedUntil = 0;
};

// "a.b.c.d" of an address in host byte order.
std::string Ipv4Text(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace

net::OwnedSocket OpenApiListener(uint32_t address)
{
    const std::string where = Ipv4Text(address);
    if (!net::SocketLayer::Instance().Ready()) {
        LogError("the socket layer did not start: nothing can reach the API; the lighting runs on");
        return net::OwnedSocket();
    }
    net::ListenFailure failure = net::ListenFailure::NoFreePort;
    net::OwnedSocket listener(net::ListenOnFirstFreePort(address, kFirstApiPort, kLastApiPort, &failure));
    if (!listener.Valid()) {
        if (failure == net::ListenFailure::AddressNotLocal) {
            LogError(where + " is not an address of this machine: nothing can reach the API; the lighting runs on");
        } else {
            LogError("no free port in " + std::to_string(kFirstApiPort) + "-" + std::to_string(kLastApiPort) + " on " +
                     where + ": nothing can reach the API; the lighting runs on");
        }
        return listener;
    }
    const std::string port = std::to_string(net::LocalPort(listener.Get()));
    if (address == net::kAnyIpv4) {
        LogInfo("listening on 0.0.0.0:" + port + " (every IPv4 address of this machine)");
    } else {
        LogInfo("listening on " + where + ":" + port);
    }
    return listener;
}

void ApiServerLoop(const Relaxed<bool>& running, net::OwnedSocket listener, const RequestHandler& handler)
{
    ConnectionPool pool(std::move(listener), handler);
    while (running) {
        pool.Turn();
    }
}

std::string AnswerRequest(const std::string& request, const RequestHandler& handler)
{
    if (RequestMethod(request) == "OPTIONS") {
        return PreflightReply();
    }
    return BuildJsonReply(handler(request));
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
