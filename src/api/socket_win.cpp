// The socket layer on Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

#include "api/socket.h"

namespace net {
namespace {

SOCKET Native(Socket socket)
{
    return static_cast<SOCKET>(socket);
}

// Winsock counts in int; larger spans go in int-sized pieces.
int Clamp(size_t length)
{
    return static_cast<int>(length > INT_MAX ? INT_MAX : length);
}

}  // namespace

bool Startup()
{
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void Cleanup()
{
    WSACleanup();
}

Socket ListenOnFirstFreePort(uint32_t address, uint16_t first, uint16_t last, ListenFailure* failure)
{
    if (failure != nullptr) {
        *failure = ListenFailure::NoFreePort;
    }
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    // Unlike Linux, Windows binds a port whose earlier connections linger in
    // TIME_WAIT, so no address reuse is asked for.
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    for (uint32_t port = first; port <= last; ++port) {
        bound.sin_port = htons(static_cast<u_short>(port));
        if (::bind(socket, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0) {
            if (::listen(socket, SOMAXCONN) == 0) {
                return static_cast<Socket>(socket);
            }
            break;
        }
        if (WSAGetLastError() == WSAEADDRNOTAVAIL) {
            if (failure != nullptr) {
                *failure = ListenFailure::AddressNotLocal;
            }
            break;
        }
    }
    ::closesocket(socket);
    return kInvalidSocket;
}

uint16_t LocalPort(Socket socket)
{
    sockaddr_in bound{};
    int length = sizeof bound;
    if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    return ntohs(bound.sin_port);
}

Wait WaitReadable(Socket socket, int timeoutMs)
{
    WSAPOLLFD entry{};
    entry.fd = Native(socket);
    entry.events = POLLRDNORM;
    const int result = ::WSAPoll(&entry, 1, timeoutMs);
    if (result > 0) {
        return Wait::Ready;
    }
    if (result == 0 || WSAGetLastError() == WSAEINTR) {
        return Wait::Timeout;
    }
    return Wait::Failed;
}

Socket Accept(Socket listener)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET socket = ::accept(Native(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (socket == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    // A client that stops reading must not hold the one server thread forever.
    const DWORD sendTimeout = kSendTimeoutMs;
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout);
    return static_cast<Socket>(socket);
}

long Receive(Socket socket, char* buffer, size_t length)
{
    return ::recv(Native(socket), buffer, Clamp(length), 0);
}

bool SendAll(Socket socket, const char* data, size_t length)
{
    while (length > 0) {
        const int sent = ::send(Native(socket), data, Clamp(length), 0);
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
    ::shutdown(Native(socket), SD_SEND);
}

void Close(Socket socket)
{
    ::closesocket(Native(socket));
}

}  // namespace net
