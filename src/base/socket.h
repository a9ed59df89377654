#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// The few socket operations the daemon's API server and the hosts' web server
// need (BSD sockets, Winsock). Every socket handed out here is non-blocking: a
// server's one thread waits for all of them at once in Poll.
namespace net {

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// The socket layer's start-up and clean-up (Winsock's; Linux has nothing to
// start): one owner for the whole process, started on first use and cleaned
// up at exit. No socket works unless it is Ready.
class SocketLayer {
public:
    static SocketLayer& Instance()
    {
        static SocketLayer layer;
        return layer;
    }
    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;

    bool Ready() const { return m_bReady; }

private:
    SocketLayer();
    ~SocketLayer();

    bool m_bReady = false;
};

// 127.0.0.1 and 0.0.0.0 (every local IPv4 address), in host byte order.
constexpr uint32_t kLoopbackIpv4 = 0x7F000001;
constexpr uint32_t kAnyIpv4 = 0;

// Why no port could be had: each was taken, or the address is not one of
// this machine's (then no port is tried after the first).
enum class ListenFailure { NoFreePort, AddressNotLocal };

// An IPv4 TCP socket bound to the first free port of [first, last] on the
// given address (host byte order) and listening; kInvalidSocket when none
// could be bound, with the reason in *failure when given.
Socket ListenOnFirstFreePort(uint32_t address, uint16_t first, uint16_t last, ListenFailure* failure = nullptr);

// The port a bound socket has (0 when it cannot be told).
uint16_t LocalPort(Socket socket);

// One socket in a Poll call: what to wait for, and what came. An error or a
// hang-up counts as both readable and writable, so that the next receive or
// send reports it.
struct PollEntry {
    Socket socket = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
};

// Waits up to timeoutMs until one of the sockets is ready (for a listening
// socket, readable means a connection is waiting). False when the wait itself
// failed; an interrupted wait is a time-out.
bool Poll(std::vector<PollEntry>& entries, int timeoutMs);

// Opens a connection to the listener at address:port (host byte order; the
// any-address means loopback) and drops it at once: the listener turns
// readable, which wakes a Poll that waits on it. Waits at most about 100 ms.
void Knock(uint32_t address, uint16_t port);

// A waiting connection; kInvalidSocket when there was none or accept failed
// (for instance when the process has no descriptor left).
Socket Accept(Socket listener);

constexpr long kWouldBlock = -2;

// Bytes received (> 0), 0 when the peer closed, kWouldBlock when nothing is
// waiting yet, another negative value on an error.
long Receive(Socket socket, char* buffer, size_t length);

// Bytes sent (0 when the send buffer is full), or < 0 on an error.
long Send(Socket socket, const char* data, size_t length);

// Tells the peer no more data follows (the reply is complete).
void ShutdownSend(Socket socket);

void Close(Socket socket);

// Owns one socket and closes it when it goes.
class OwnedSocket {
public:
    explicit OwnedSocket(Socket socket = kInvalidSocket) : m_socket(socket) {}
    OwnedSocket(OwnedSocket&& other) noexcept : m_socket(std::exchange(other.m_socket, kInvalidSocket)) {}
    OwnedSocket& operator=(OwnedSocket&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_socket = std::exchange(other.m_socket, kInvalidSocket);
        }
        return *this;
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    ~OwnedSocket() { Reset(); }

    Socket Get() const { return m_socket; }
    bool Valid() const { return m_socket != kInvalidSocket; }
    void Reset()
    {
        if (m_socket != kInvalidSocket) {
            Close(std::exchange(m_socket, kInvalidSocket));
        }
    }

private:
    Socket m_socket;
};

}  // namespace net
