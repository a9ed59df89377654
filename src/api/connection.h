#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/api_contract.h"

// The most request bytes read from one connection; the rest is never looked at.
using api_contract::kRequestCap;

// How long each stage of a connection may take, in milliseconds.
struct ConnectionTimeouts {
    int64_t idleMs = 2000;   // from accept to the first byte: a client that sends nothing is dropped
    int64_t quietMs = 100;   // once data has come, a pause this long ends the request
    int64_t totalMs = 2000;  // and so does this much time after the first byte
    int64_t sendMs = 2000;   // a reply that makes no progress this long is given up
    int64_t lingerMs = 200;  // after the reply, how long the peer gets to close its side
};

// One client connection of the API server, without its socket: it is told what
// arrived and when, and says what it wants next. Each connection carries one
// request and one reply. The server thread owns it; the request-path fuzzer
// drives it the same way with made-up times.
//
// A request is complete at the end of its header block, at the size cap, when
// the peer closes its side, or after a quiet pause or the total time; its text
// ends at its first NUL byte. After the reply the server shuts its sending side
// and swallows what the peer still sends for a short while: closing a socket
// with unread bytes resets the connection, and the peer could lose the reply.
class Connection {
public:
    enum class Phase {
        Reading,   // collecting the request
        Ready,     // the request is complete and waits for its reply
        Writing,   // sending the reply
        Lingering, // reply sent, sending side to be shut: swallowing what still comes
        Closed,    // done; the socket can go
    };

    Connection(int64_t nowMs, ConnectionTimeouts timeouts = {});

    Phase State() const { return m_phase; }
    bool WantsRead() const { return m_phase == Phase::Reading || m_phase == Phase::Lingering; }
    bool WantsWrite() const { return m_phase == Phase::Writing; }
    // Has begun no request, or is only lingering: the first to go when the server is full.
    bool Idle() const;
    int64_t OpenedMs() const { return m_openedMs; }
    // When OnTime has something to do next.
    int64_t DeadlineMs() const;

    // How many bytes the next receive may take: what is left below the size cap
    // while reading, a whole buffer while lingering.
    size_t ReceiveRoom(size_t buffer) const;
    void OnReceived(std::string_view bytes, int64_t nowMs);
    // The peer closed its side, or receiving failed: what came so far is the request.
    void OnReceiveEnded();
    void OnTime(int64_t nowMs);

    // The request text, once Ready; taken once.
    std::string TakeRequest();
    void SetReply(std::string reply, int64_t nowMs);

    // The reply bytes still to send.
    std::string_view Unsent() const;
    // Sent bytes (0 when none could go); after the last, the phase is Lingering
    // and the server shuts the sending side.
    void OnSent(size_t count, int64_t nowMs);
    void OnSendFailed() { m_phase = Phase::Closed; }

private:
    ConnectionTimeouts m_timeouts;
    Phase m_phase = Phase::Reading;
    int64_t m_openedMs = 0;
    int64_t m_firstByteMs = 0;
    int64_t m_lastByteMs = 0;
    int64_t m_progressMs = 0;  // the last send that moved bytes, or when lingering began
    std::string m_data;        // the request while reading, then the reply
    size_t m_sent = 0;
};
