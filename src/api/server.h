#pragma once

#include <functional>
#include <optional>
#include <string>

#include "api/socket.h"
#include "base/relaxed.h"

constexpr uint16_t kFirstApiPort = 9191;
constexpr uint16_t kLastApiPort = 9199;
constexpr size_t kRequestCap = 131071;

// How long the server waits for a request: a client that sends nothing is
// dropped after idleMs; once data has come, a pause of quietMs ends the
// request, and so does totalMs after the first byte.
struct RequestTimeouts {
    int idleMs = 2000;
    int quietMs = 100;
    int totalMs = 2000;
};

// The listening socket for the API on the first free port of 9191-9199 of the
// given IPv4 address (host byte order; loopback unless the user asks for more),
// with the socket layer started; kInvalidSocket (and the layer cleaned up) when
// none. Logs the address and port, or why nothing listens.
net::Socket OpenApiListener(uint32_t address);

// Turns the text of one request (not a pre-flight) into the JSON reply body.
using RequestHandler = std::function<std::string(const std::string& request)>;

// Accepts and serves one connection at a time while running; then closes the
// listener and cleans up the socket layer.
void ApiServerLoop(const Relaxed<bool>& running, net::Socket listener, const RequestHandler& handler);

// Reads one request: until the end of the header block, the size cap, the
// peer closing, a quiet gap after data, or a time-out. Nothing when no byte
// came (or the server is stopping); the text ends at its first NUL byte.
std::optional<std::string> ReadRequest(net::Socket socket, const Relaxed<bool>& running, const RequestTimeouts& timeouts);

// Reads one request on a connected socket and answers it; does not close it.
void HandleApiRequest(net::Socket socket, const Relaxed<bool>& running, const RequestHandler& handler);

// The reply envelope around a JSON body, and the CORS pre-flight reply.
std::string BuildJsonReply(const std::string& body);
const std::string& PreflightReply();

void SendJsonReply(net::Socket socket, const std::string& body);
