#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The conversation with the desktop's ScreenCast portal on the session bus:
// CreateSession, SelectSources (one monitor, the cursor hidden where the
// portal can, persistent until revoked, with the stored restore token), Start
// and OpenPipeWireRemote. The user may be asked to choose a screen, which can
// take minutes, so nothing here waits for the answers: Process handles what
// the bus has brought, from the thread that owns the object.
//
// Every Start that succeeds hands a new restore token, which replaces the
// stored one (restore_token.h).
class ScreenCastPortal {
public:
    enum class State {
        Asking,    // the conversation is under way
        Granted,   // the stream is ours: Remote() and Node()
        Declined,  // the user said no
        Failed,    // the portal or the bus failed, or the session was closed; Failure() says why
    };

    // Whether the portal offers monitors: a bounded wait on the session bus,
    // false when there is no bus or no portal.
    static bool OffersMonitors();

    // Opens the session bus and makes the first call; a failure to do so
    // leaves the object Failed.
    ScreenCastPortal();
    // Closes the portal's session (which ends its stream) and the bus.
    ~ScreenCastPortal();
    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

    void Process();
    State GetState() const;
    const std::string& Failure() const;
    // Granted: the PipeWire connection the portal opened for us (the caller
    // takes the descriptor; -1 after the first call) and the stream's node.
    int TakeRemote();
    uint32_t Node() const;

private:
    struct Conversation;
    std::unique_ptr<Conversation> m_conversation;
};
