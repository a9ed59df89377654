// The socket layer on Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

#include "base/socket.h"

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

bool MakeNonBlocking(SOCKET socket)
{
    u_long nonBlocking = 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

}  // namespace

SocketLayer::SocketLayer()
{
    WSADATA data{};
    m_bReady = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLayer::~SocketLayer()
{
    if (m_bReady) {
        WSACleanup();
    }
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
    if (!MakeNonBlocking(socket)) {
        ::closesocket(socket);
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

bool Poll(std::vector<PollEntry>& entries, int timeoutMs)
{
    // Only the normal-data flags, and only sockets with something to wait
    // for: WSAPoll may reject the whole call for anything else.
    std::vector<WSAPOLLFD> native;
    std::vector<size_t> slot;
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].readable = false;
        entries[i].writable = false;
        if (!entries[i].wantRead && !entries[i].wantWrite) {
            continue;
        }
        WSAPOLLFD entry{};
        entry.fd = Native(entries[i].socket);
        entry.events = static_cast<SHORT>((entries[i].wantRead ? POLLRDNORM : 0) | (entries[i].wantWrite ? POLLWRNORM : 0));
        native.push_back(entry);
        slot.push_back(i);
    }
    if (native.empty()) {
        ::Sleep(static_cast<DWORD>(timeoutMs));
        return true;
    }
    const int result = ::WSAPoll(native.data(), static_cast<ULONG>(native.size()), timeoutMs);
    if (result == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEINTR;
    }
    for (size_t k = 0; k < native.size(); ++k) {
        PollEntry& entry = entries[slot[k]];
        const SHORT came = native[k].revents;
        const bool broken = (came & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        entry.readable = entry.wantRead && ((came & POLLRDNORM) != 0 || broken);
        entry.writable = entry.wantWrite && ((came & POLLWRNORM) != 0 || broken);
    }
    return true;
}

void Knock(uint32_t address, uint16_t port)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address == INADDR_ANY ? INADDR_LOOPBACK : address);
    target.sin_port = htons(port);
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return;
    }
    // Non-blocking, so a listener whose queue is full cannot hold the caller.
    if (MakeNonBlocking(socket) &&
        ::connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == SOCKET_ERROR &&
        WSAGetLastError() == WSAEWOULDBLOCK) {
        WSAPOLLFD entry{};
        entry.fd = socket;
        entry.events = POLLWRNORM;
        ::WSAPoll(&entry, 1, 100);
    }
    ::closesocket(socket);
}

Socket Accept(Socket listener)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET socket = ::accept(Native(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (socket == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    if (!MakeNonBlocking(socket)) {
        ::closesocket(socket);
        return kInvalidSocket;
    }
    return static_cast<Socket>(socket);
}

long Receive(Socket socket, char* buffer, size_t length)
{
    const int received = ::recv(Native(socket), buffer, Clamp(length), 0);
    if (received == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        return kWouldBlock;
    }
    return received;
}

long Send(Socket socket, const char* data, size_t length)
{
    const int sent = ::send(Native(socket), data, Clamp(length), 0);
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    return sent;
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
