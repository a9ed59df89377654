#include "base/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {
namespace {

int Native(Socket socket)
{
    return static_cast<int>(socket);
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

SocketLayer::SocketLayer() : m_bReady(true) {}

SocketLayer::~SocketLayer() = default;

Socket ListenOnFirstFreePort(uint32_t address, uint16_t first, uint16_t last, ListenFailure* failure)
{
    if (failure != nullptr) {
        *failure = ListenFailure::NoFreePort;
    }
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    for (uint32_t port = first; port <= last; ++port) {
        // A socket of its own for each port: a bound socket cannot be bound
        // again, and the port after one lost to a racing listener must still
        // be tried.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
        if (fd < 0) {
            return kInvalidSocket;
        }
        // Without this, Linux refuses the port while connections of an earlier
        // run linger in TIME_WAIT (Windows does not), and a restarted daemon
        // would wander to the next port. It never lets two listeners share a
        // port; but it lets two sockets bind one port until one listens, so
        // a daemon starting beside another can lose the port at listen.
        const int reuse = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        bound.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            return fd;
        }
        const int error = errno;
        ::close(fd);
        if (error == EADDRNOTAVAIL) {
            if (failure != nullptr) {
                *failure = ListenFailure::AddressNotLocal;
            }
            return kInvalidSocket;
        }
    }
    return kInvalidSocket;
}

uint16_t LocalPort(Socket socket)
{
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    return ntohs(bound.sin_port);
}

bool Poll(std::vector<PollEntry>& entries, int timeoutMs)
{
    std::vector<pollfd> native(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        native[i].fd = Native(entries[i].socket);
        native[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) | (entries[i].wantWrite ? POLLOUT : 0));
    }
    const int result = ::poll(native.data(), native.size(), timeoutMs);
    if (result < 0) {
        return errno == EINTR;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const short came = native[i].revents;
        const bool broken = (came & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entries[i].readable = entries[i].wantRead && ((came & POLLIN) != 0 || broken);
        entries[i].writable = entries[i].wantWrite && ((came & POLLOUT) != 0 || broken);
    }
    return true;
}

void Knock(uint32_t address, uint16_t port)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address == INADDR_ANY ? INADDR_LOOPBACK : address);
    target.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return;
    }
    // Non-blocking, so a listener whose queue is full cannot hold the caller
    // through the kernel's connect retries.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 && errno == EINPROGRESS) {
        pollfd entry{fd, POLLOUT, 0};
        ::poll(&entry, 1, 100);
    }
    ::close(fd);
}

Socket Accept(Socket listener)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(Native(listener), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd < 0 ? kInvalidSocket : fd;
}

long Receive(Socket socket, char* buffer, size_t length)
{
    ssize_t received = 0;
    do {
        received = ::recv(Native(socket), buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && WouldBlock(errno)) {
        return kWouldBlock;
    }
    return received;
}

long Send(Socket socket, const char* data, size_t length)
{
    ssize_t sent = 0;
    do {
        sent = ::send(Native(socket), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && WouldBlock(errno)) {
        return 0;
    }
    return sent;
}

void ShutdownSend(Socket socket)
{
    ::shutdown(Native(socket), SHUT_WR);
}

void Close(Socket socket)
{
    ::close(Native(socket));
}

}  // namespace net
