#pragma once

#include <cstddef>
#include <cstdint>

// The few socket operations the API server needs (BSD sockets, Winsock).
namespace net {

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// The socket layer's process set-up and tear-down; Startup fails quietly.
bool Startup();
void Cleanup();

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

enum class Wait { Ready, Timeout, Failed };

// Waits up to timeoutMs for the socket to become readable (or, for a
// listening socket, to have a connection waiting).
Wait WaitReadable(Socket socket, int timeoutMs);

// Sends to an accepted connection give up after this long without progress.
constexpr int kSendTimeoutMs = 2000;

Socket Accept(Socket listener);

// Bytes received (> 0), 0 when the peer closed, < 0 on an error.
long Receive(Socket socket, char* buffer, size_t length);

// Sends every byte unless the connection fails; true when all went out.
bool SendAll(Socket socket, const char* data, size_t length);

// Tells the peer no more data follows (the reply is complete).
void ShutdownSend(Socket socket);

void Close(Socket socket);

}  // namespace net
