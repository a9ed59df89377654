#include "api/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

bool Startup()
{
    return true;
}

void Cleanup() {}

Socket ListenOnFirstFreePort(uint32_t address, uint16_t first, uint16_t last, ListenFailure* failure)
{
    if (failure != nullptr) {
        *failure = ListenFailure::NoFreePort;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return kInvalidSocket;
    }
    // Without this, Linux refuses the port while connections of an earlier run
    // linger in TIME_WAIT (Windows does not), and a restarted daemon would
    // wander to the next port. It never lets two listeners share a port.
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    for (uint32_t port = first; port <= last; ++port) {
        bound.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0) {
            if (::listen(fd, SOMAXCONN) == 0) {
                return fd;
            }
            break;
        }
        if (errno == EADDRNOTAVAIL) {
            if (failure != nullptr) {
                *failure = ListenFailure::AddressNotLocal;
            }
            break;
        }
    }
    ::close(fd);
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

Wait WaitReadable(Socket socket, int timeoutMs)
{
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    const int result = ::poll(&entry, 1, timeoutMs);
    if (result > 0) {
        return Wait::Ready;
    }
    if (result == 0 || errno == EINTR) {
        return Wait::Timeout;
    }
    return Wait::Failed;
}

Socket Accept(Socket listener)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        return kInvalidSocket;
    }
    // A client that stops reading must not hold the one server thread forever.
    const timeval sendTimeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    return fd;
}

long Receive(Socket socket, char* buffer, size_t length)
{
    return ::recv(static_cast<int>(socket), buffer, length, 0);
}

bool SendAll(Socket socket, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void ShutdownSend(Socket socket)
{
    ::shutdown(static_cast<int>(socket), SHUT_WR);
}

void Close(Socket socket)
{
    ::close(static_cast<int>(socket));
}

}  // namespace net
