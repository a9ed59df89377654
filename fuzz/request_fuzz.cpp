// The whole request path in-process, as the server thread runs it: a
// connection's framing fed the input in pieces at made-up times, the
// pre-flight test and the routes on fresh state, the reply sent through a
// send buffer that fills and drains, and the closing linger.
//
// The first four bytes drive the timing (piece sizes, pauses, how much each
// send takes); the rest is what the client sends.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "api/connection.h"
#include "api/routes.h"
#include "api/server.h"
#include "api_state.h"
#include "fuzz_check.h"

namespace {

using Phase = Connection::Phase;

// A small generator, so that four bytes of input describe a whole schedule.
class Schedule {
public:
    explicit Schedule(uint32_t seed) : m_state(seed | 1u) {}
    uint32_t Below(uint32_t bound)
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state % bound;
    }

private:
    uint32_t m_state;
};

// A reply is the pre-flight reply, or the JSON envelope whose length is its body's.
void CheckReply(const std::string& reply)
{
    if (reply == PreflightReply()) {
        return;
    }
    const size_t end = reply.find("\r\n\r\n");
    Require(end != std::string::npos, "reply without a header block");
    const std::string body = reply.substr(end + 4);
    Require(reply == BuildJsonReply(body), "reply envelope does not match its body");
    Require(!body.empty() && body.front() == '{' && body.back() == '}', "reply body is not a JSON object");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    uint32_t seed = 0;
    std::memcpy(&seed, data, 4);
    Schedule schedule(seed);
    std::string_view client(reinterpret_cast<const char*>(data) + 4, size - 4);

    const auto state = std::make_unique<FuzzApiState>();
    const ApiTargets api = state->Targets();
    const RequestHandler handler = [&api](const std::string& request) { return DispatchRequest(api, request); };

    int64_t now = 0;
    Connection connection(now);
    // Reading: pieces arrive with pauses between them; the client closes its
    // side once everything is sent.
    while (connection.State() == Phase::Reading) {
        now += schedule.Below(4) == 0 ? schedule.Below(2200) : schedule.Below(60);
        connection.OnTime(now);
        if (connection.State() != Phase::Reading) {
            break;
        }
        if (client.empty()) {
            connection.OnReceiveEnded();
            break;
        }
        const size_t piece = std::min<size_t>({client.size(), 1 + schedule.Below(4096), connection.ReceiveRoom(16384)});
        connection.OnReceived(client.substr(0, piece), now);
        client.remove_prefix(piece);
    }

    if (connection.State() == Phase::Ready) {
        const std::string request = connection.TakeRequest();
        Require(request.size() <= kRequestCap && request.find('\0') == std::string::npos, "request text out of shape");
        const std::string reply = AnswerRequest(request, handler);
        CheckReply(reply);
        connection.SetReply(reply, now);

        std::string sent;
        while (connection.WantsWrite()) {
            const std::string_view unsent = connection.Unsent();
            const size_t count = schedule.Below(3) == 0 ? 0 : 1 + schedule.Below(static_cast<uint32_t>(std::max<size_t>(unsent.size(), 1)));
            sent.append(unsent.substr(0, count));
            connection.OnSent(count, now);
            now += schedule.Below(800);
            connection.OnTime(now);
        }
        Require(connection.State() != Phase::Lingering || sent == reply, "lingering before the whole reply went");

        // Whatever the client still sends is swallowed until the linger ends.
        while (connection.State() == Phase::Lingering && !client.empty()) {
            const size_t piece = std::min(client.size(), connection.ReceiveRoom(16384));
            connection.OnReceived(client.substr(0, piece), now);
            client.remove_prefix(piece);
            now += schedule.Below(50);
            connection.OnTime(now);
        }
    }

    // However the schedule went, the connection is done once its deadline passes.
    if (connection.State() != Phase::Closed) {
        connection.OnTime(connection.DeadlineMs());
    }
    Require(connection.State() == Phase::Closed, "connection still open after its deadline");
    return 0;
}
