// The ScreenCast portal conversation through sd-bus (libsystemd). sd-bus needs
// no main loop of its own: the owner's thread calls Process, which handles
// whatever has arrived and returns.
//
// Each request's Response signal is subscribed to before the call that makes
// the request, at the path the portal will use (it is built from our unique
// name and a token of ours), so a quick answer cannot be missed.
//
// Threads: the object, its bus connection and every callback (run from
// Process) belong to the thread that made it, the sampler thread; no lock.
#include "screen/screencast_portal.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "base/log.h"
#include "screen/restore_token.h"

namespace {

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
constexpr char kRequest[] = "org.freedesktop.portal.Request";
constexpr char kSession[] = "org.freedesktop.portal.Session";
// Bounds every method call's wait for its reply (not the user's answer,
// which comes as a signal).
constexpr uint64_t kCallTimeoutUs = 5'000'000;
// The portal's values (its ScreenCast interface, version 4).
constexpr uint32_t kMonitorSource = 1;
constexpr uint32_t kHiddenCursor = 1;
constexpr uint32_t kPersistUntilRevoked = 2;
constexpr uint32_t kResponseSuccess = 0;
constexpr uint32_t kResponseCancelled = 1;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotCloser {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageCloser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Slot = std::unique_ptr<sd_bus_slot, SlotCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageCloser>;

std::string ErrorText(int negativeErrno)
{
    return std::strerror(-negativeErrno);
}

Bus OpenBus(std::string& failure)
{
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        failure = "no session bus (" + ErrorText(r) + ")";
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    return Bus(bus);
}

// A 'u' property of the portal's ScreenCast interface; 0 when it cannot be read.
uint32_t PortalProperty(sd_bus* bus, const char* name)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    uint32_t value = 0;
    if (sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, name, &error, 'u', &value) < 0) {
        value = 0;
    }
    sd_bus_error_free(&error);
    return value;
}

// Calls visit(key) for each entry of the a{sv} at the message's read
// position, the variant next to be read; visit reads it or skips it. Negative
// on a malformed message.
template <typename Visit>
int ForEachEntry(sd_bus_message* message, Visit&& visit)
{
    int r = sd_bus_message_enter_container(message, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read(message, "s", &key);
        if (r >= 0) {
            r = visit(std::string_view(key));
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);
        }
    }
    return r < 0 ? r : sd_bus_message_exit_container(message);
}

// The first stream's node of a "streams" variant, a(ua{sv}).
int ReadFirstNode(sd_bus_message* message, uint32_t* node, bool* found)
{
    int r = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
    if (r >= 0) {
        r = sd_bus_message_enter_container(message, 'a', "(ua{sv})");
    }
    while (r >= 0 && (r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
        uint32_t id = 0;
        r = sd_bus_message_read(message, "u", &id);
        if (r >= 0) {
            r = sd_bus_message_skip(message, "a{sv}");
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);
        }
        if (r >= 0 && !*found) {
            *node = id;
            *found = true;
        }
    }
    if (r >= 0) {
        r = sd_bus_message_exit_container(message);
    }
    return r < 0 ? r : sd_bus_message_exit_container(message);
}

}  // namespace

struct ScreenCastPortal::Conversation {
    enum class Step { CreateSession, SelectSources, Start, OpenRemote };

    Bus bus;
    Slot call;      // the method call under way
    Slot response;  // the Response of the request under way
    Slot closed;    // the session's Closed
    Step step = Step::CreateSession;
    State state = State::Asking;
    std::string failure;
    std::string requestPrefix;  // the portal's request paths for our connection
    std::string sessionHandle;
    uint32_t tokenCount = 0;
    bool hiddenCursor = false;
    uint32_t node = 0;
    int remote = -1;

    ~Conversation()
    {
        if (remote >= 0) {
            ::close(remote);
        }
        if (bus && !sessionHandle.empty()) {
            // No reply is awaited; the bus is flushed as it closes.
            sd_bus_call_method_async(bus.get(), nullptr, kPortal, sessionHandle.c_str(), kSession, "Close", nullptr,
                                     nullptr, "");
        }
    }

    void Fail(const std::string& why)
    {
        if (state == State::Asking || state == State::Granted) {
            state = State::Failed;
            failure = why;
        }
    }

    void Begin()
    {
        std::string why;
        bus = OpenBus(why);
        const char* unique = nullptr;
        if (!bus || sd_bus_get_unique_name(bus.get(), &unique) < 0) {
            Fail(bus ? "the session bus gave no name" : why);
            return;
        }
        // ":1.42" becomes "1_42" in the portal's request paths.
        std::string sender = unique + 1;
        for (char& c : sender) {
            c = c == '.' ? '_' : c;
        }
        requestPrefix = std::string("/org/freedesktop/portal/desktop/request/") + sender + "/";
        hiddenCursor = (PortalProperty(bus.get(), "AvailableCursorModes") & kHiddenCursor) != 0;
        Request(Step::CreateSession);
    }

    // Subscribes to the next request's Response, then makes the call of the step.
    void Request(Step next)
    {
        step = next;
        const std::string token = "tonvik" + std::to_string(++tokenCount);
        sd_bus_slot* slot = nullptr;
        if (next != Step::OpenRemote) {
            const int r = sd_bus_match_signal(bus.get(), &slot, nullptr, (requestPrefix + token).c_str(), kRequest,
                                              "Response", &Conversation::OnResponse, this);
            if (r < 0) {
                Fail("cannot subscribe to the portal's answer (" + ErrorText(r) + ")");
                return;
            }
            response.reset(slot);
        }
        static constexpr const char* kMethods[] = {"CreateSession", "SelectSources", "Start", "OpenPipeWireRemote"};
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_method_call(bus.get(), &raw, kPortal, kPortalPath, kScreenCast,
                                               kMethods[static_cast<int>(next)]);
        const Message message(raw);
        if (r >= 0) {
            r = AppendArguments(raw, token);
        }
        if (r >= 0) {
            slot = nullptr;
            r = sd_bus_call_async(bus.get(), &slot, raw, &Conversation::OnReply, this, 0);
            call.reset(slot);
        }
        if (r < 0) {
            Fail(std::string("cannot call the portal's ") + kMethods[static_cast<int>(next)] + " (" + ErrorText(r) +
                 ")");
        }
    }

    int AppendArguments(sd_bus_message* message, const std::string& token)
    {
        const char* handle = sessionHandle.c_str();
        switch (step) {
        case Step::CreateSession:
            return sd_bus_message_append(message, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                         "session_handle_token", "s", token.c_str());
        case Step::SelectSources: {
            const std::string restore = LoadRestoreToken();
            int r = sd_bus_message_append(message, "o", handle);
            if (r >= 0) {
                r = sd_bus_message_open_container(message, 'a', "{sv}");
            }
            if (r >= 0) {
                r = sd_bus_message_append(message, "{sv}{sv}{sv}{sv}", "handle_token", "s", token.c_str(), "types",
                                          "u", kMonitorSource, "multiple", "b", 0, "persist_mode", "u",
                                          kPersistUntilRevoked);
            }
            if (r >= 0 && hiddenCursor) {
                r = sd_bus_message_append(message, "{sv}", "cursor_mode", "u", kHiddenCursor);
            }
            if (r >= 0 && !restore.empty()) {
                r = sd_bus_message_append(message, "{sv}", "restore_token", "s", restore.c_str());
            }
            return r < 0 ? r : sd_bus_message_close_container(message);
        }
        case Step::Start:
            return sd_bus_message_append(message, "osa{sv}", handle, "", 1, "handle_token", "s", token.c_str());
        case Step::OpenRemote:
            return sd_bus_message_append(message, "oa{sv}", handle, 0);
        }
        return -EINVAL;
    }

    static int OnReply(sd_bus_message* reply, void* self, sd_bus_error*)
    {
        auto& conversation = *static_cast<Conversation*>(self);
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            conversation.Fail(std::string("the portal refused the request: ") +
                              (error->message != nullptr ? error->message : error->name));
            return 0;
        }
        if (conversation.step == Step::OpenRemote) {
            int fd = -1;
            if (sd_bus_message_read(reply, "h", &fd) < 0 || (fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
                conversation.Fail("the portal sent no PipeWire connection");
                return 0;
            }
            conversation.remote = fd;
            conversation.state = State::Granted;
        }
        return 0;
    }

    static int OnResponse(sd_bus_message* signal, void* self, sd_bus_error*)
    {
        auto& conversation = *static_cast<Conversation*>(self);
        uint32_t code = 0;
        if (sd_bus_message_read(signal, "u", &code) < 0) {
            conversation.Fail("the portal's answer could not be read");
            return 0;
        }
        conversation.response.reset();
        if (code == kResponseCancelled) {
            conversation.state = State::Declined;
            return 0;
        }
        if (code != kResponseSuccess) {
            conversation.Fail("the portal ended the request (response " + std::to_string(code) + ")");
            return 0;
        }
        conversation.Answered(signal);
        return 0;
    }

    void Answered(sd_bus_message* results)
    {
        switch (step) {
        case Step::CreateSession: {
            const int r = ForEachEntry(results, [this, results](std::string_view key) {
                const char* handle = nullptr;
                if (key != "session_handle") {
                    return sd_bus_message_skip(results, "v");
                }
                const int read = sd_bus_message_read(results, "v", "s", &handle);
                sessionHandle = read >= 0 ? handle : "";
                return read;
            });
            sd_bus_slot* slot = nullptr;
            if (r < 0 || sessionHandle.empty() ||
                sd_bus_match_signal(bus.get(), &slot, nullptr, sessionHandle.c_str(), kSession, "Closed",
                                    &Conversation::OnClosed, this) < 0) {
                Fail("the portal made no session");
                return;
            }
            closed.reset(slot);
            Request(Step::SelectSources);
            return;
        }
        case Step::SelectSources:
            Request(Step::Start);
            return;
        case Step::Start: {
            bool found = false;
            const int r = ForEachEntry(results, [this, results, &found](std::string_view key) {
                if (key == "streams") {
                    return ReadFirstNode(results, &node, &found);
                }
                if (key == "restore_token") {
                    const char* token = nullptr;
                    const int read = sd_bus_message_read(results, "v", "s", &token);
                    if (read >= 0 && !StoreRestoreToken(token)) {
                        LogWarning("screen colours: cannot keep the portal's restore token in "
                                   "$XDG_STATE_HOME/tonvik; the desktop will ask again at the next start");
                    }
                    return read;
                }
                return sd_bus_message_skip(results, "v");
            });
            if (r < 0 || !found) {
                Fail("the portal started no stream");
                return;
            }
            Request(Step::OpenRemote);
            return;
        }
        case Step::OpenRemote:
            return;
        }
    }

    static int OnClosed(sd_bus_message*, void* self, sd_bus_error*)
    {
        auto& conversation = *static_cast<Conversation*>(self);
        conversation.sessionHandle.clear();
        conversation.Fail("the desktop closed the screen-sharing session");
        return 0;
    }
};

bool ScreenCastPortal::OffersMonitors()
{
    std::string failure;
    const Bus bus = OpenBus(failure);
    return bus && (PortalProperty(bus.get(), "AvailableSourceTypes") & kMonitorSource) != 0;
}

ScreenCastPortal::ScreenCastPortal() : m_conversation(std::make_unique<Conversation>())
{
    m_conversation->Begin();
}

ScreenCastPortal::~ScreenCastPortal() = default;

void ScreenCastPortal::Process()
{
    Conversation& conversation = *m_conversation;
    if (!conversation.bus) {
        return;
    }
    int r = 0;
    while ((r = sd_bus_process(conversation.bus.get(), nullptr)) > 0) {
    }
    if (r < 0) {
        conversation.Fail("the session bus connection broke (" + ErrorText(r) + ")");
    }
}

ScreenCastPortal::State ScreenCastPortal::GetState() const
{
    return m_conversation->state;
}

const std::string& ScreenCastPortal::Failure() const
{
    return m_conversation->failure;
}

int ScreenCastPortal::TakeRemote()
{
    const int fd = m_conversation->remote;
    m_conversation->remote = -1;
    return fd;
}

uint32_t ScreenCastPortal::Node() const
{
    return m_conversation->node;
}
