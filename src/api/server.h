#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/api_contract.h"
#include "base/socket.h"
#include "base/relaxed.h"

using api_contract::kFirstApiPort;
using api_contract::kLastApiPort;
// Connections held at once; past it the oldest idle one is closed, and while
// every one is busy the next waits in the listen queue.
constexpr size_t kMaxApiConnections = 64;

// The listening socket for the API on the first free port of 9191-9199 of the
// given IPv4 address (host byte order; loopback unless the user asks for more);
// an invalid one when none could be had (the socket layer did not start, no
// port was free, the address is not local). Logs the address and port, or why
// nothing listens.
net::OwnedSocket OpenApiListener(uint32_t address);

// Turns the text of one request (not a pre-flight) into the JSON reply body.
using RequestHandler = std::function<std::string(const std::string& request)>;

// The server thread's body. Waits on the listener and on every connection at
// once, reads each as its bytes arrive, and answers each request as soon as it
// is complete (see Connection), one at a time, so no slow or idle client holds
// up another; only the handler itself (new effect parameters pause 150 ms)
// does. With connections open it notices a cleared running flag within about
// 100 ms; with none it waits without a time-out, so whoever clears the flag
// then knocks on the listener (net::Knock). Then it closes every connection
// and the listener (which it owns).
void ApiServerLoop(const Relaxed<bool>& running, net::OwnedSocket listener, const RequestHandler& handler);

// The reply bytes for one request text: the pre-flight reply when its method is
// OPTIONS, otherwise the handler's body in the JSON envelope.
std::string AnswerRequest(const std::string& request, const RequestHandler& handler);

// The reply envelope around a JSON body, and the CORS pre-flight reply.
std::string BuildJsonReply(const std::string& body);
const std::string& PreflightReply();
