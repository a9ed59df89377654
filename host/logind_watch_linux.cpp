// logind through sd-bus. Threads: the bus is opened, subscribed and first
// read on the caller's thread, before the watcher's thread starts; from then
// on only that thread touches the bus, until the destructor wakes it through
// an eventfd and joins it. The pause state has its own lock.
#include "logind_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"

namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";
constexpr char kSession[] = "org.freedesktop.login1.Session";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
// logind answers at once; a bus that does not must not hold up the host's start.
constexpr uint64_t kCallTimeoutUs = 2'000'000;
constexpr char kNotFollowed[] = ": the lights do not follow lock, user switch or sleep";

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

// An sd_bus_error freed with its scope.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
    std::string Text(int r) const { return error.message != nullptr ? error.message : std::strerror(-r); }
};

// Whether asking logind again (for another way to the session) can help.
bool LogindAnswered(const BusError& error, int r)
{
    return r != -ETIMEDOUT && !sd_bus_error_has_name(&error.error, SD_BUS_ERROR_SERVICE_UNKNOWN) &&
           !sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

// The session's object path, or empty with why not.
std::string FindSessionPath(sd_bus* bus, std::string& failure)
{
    const auto ask = [&](const char* method, const char* types, auto argument) -> std::string {
        BusError error;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus, kLogind, kManagerPath, kManager, method, &error.error, &reply, types, argument);
        const Message owned(reply);
        const char* path = nullptr;
        if (r >= 0) {
            r = sd_bus_message_read(reply, "o", &path);
        }
        if (r < 0 || path == nullptr) {
            failure = std::string(method) + ": " + error.Text(r);
            return LogindAnswered(error, r) ? std::string() : std::string("-");
        }
        return path;
    };
    const char* sessionId = std::getenv("XDG_SESSION_ID");
    std::string path;
    if (sessionId != nullptr && sessionId[0] != '\0') {
        path = ask("GetSession", "s", sessionId);
    }
    if (path.empty()) {
        path = ask("GetSessionByPID", "u", static_cast<uint32_t>(::getpid()));
    }
    // A user service belongs to no session; "auto" is logind's name for the
    // caller's session, else its user's graphical one.
    if (path.empty()) {
        path = ask("GetSession", "s", "auto");
    }
    return path == "-" ? std::string() : path;
}

// Milliseconds until sd-bus's next deadline (an absolute CLOCK_MONOTONIC time), -1 for none.
int PollTimeoutMs(sd_bus* bus)
{
    uint64_t deadlineUs = 0;
    if (sd_bus_get_timeout(bus, &deadlineUs) < 0 || deadlineUs == UINT64_MAX) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    return deadlineUs <= nowUs ? 0 : static_cast<int>(std::min<uint64_t>((deadlineUs - nowUs + 999) / 1000, 60000));
}

class LogindWatch final : public SessionFollower {
public:
    LogindWatch(Bus bus, std::string path, PauseState& pause)
        : m_bus(std::move(bus)), m_path(std::move(path)), m_pause(pause)
    {
    }

    ~LogindWatch() override
    {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            (void)!::write(m_wake, &one, sizeof one);
            m_thread.join();
        }
        if (m_wake >= 0) {
            ::close(m_wake);
        }
    }

    LogindWatch(const LogindWatch&) = delete;
    LogindWatch& operator=(const LogindWatch&) = delete;

    // Subscribes, then reads the state (so no change falls between the two), then starts the thread.
    bool Start(std::string& failure)
    {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wake < 0) {
            failure = std::string("no eventfd: ") + std::strerror(errno);
            return false;
        }
        const struct {
            const char* path;
            const char* interface;
            const char* member;
            sd_bus_message_handler_t handler;
        } signals[] = {
            {m_path.c_str(), kProperties, "PropertiesChanged", OnPropertiesChanged},
            {m_path.c_str(), kSession, "Lock", OnLock},
            {m_path.c_str(), kSession, "Unlock", OnUnlock},
            {kManagerPath, kManager, "PrepareForSleep", OnPrepareForSleep},
        };
        for (const auto& signal : signals) {
            sd_bus_slot* slot = nullptr;
            const int r = sd_bus_match_signal(m_bus.get(), &slot, kLogind, signal.path, signal.interface,
                                              signal.member, signal.handler, this);
            if (r < 0) {
                failure = std::string("cannot subscribe to ") + signal.member + ": " + std::strerror(-r);
                return false;
            }
            m_slots.emplace_back(slot);
        }
        for (const char* property : {"LockedHint", "Active"}) {
            if (!ReadProperty(property)) {
                failure = std::string("cannot read the session's ") + property;
                return false;
            }
        }
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            failure = "no thread could be started for it";
            return false;
        }
        return true;
    }

private:
    static LogindWatch& Self(void* self) { return *static_cast<LogindWatch*>(self); }

    void Apply(const std::string& property, bool value)
    {
        if (property == "LockedHint") {
            m_pause.Set(PauseReason::SessionLocked, value);
        } else if (property == "Active") {
            m_pause.Set(PauseReason::SessionInactive, !value);
        }
    }

    bool ReadProperty(const char* property)
    {
        BusError error;
        int value = 0;
        if (sd_bus_get_property_trivial(m_bus.get(), kLogind, m_path.c_str(), kSession, property, &error.error, 'b',
                                        &value) < 0) {
            return false;
        }
        Apply(property, value != 0);
        return true;
    }

    // (s interface, a{sv} changed, as invalidated): the session's LockedHint and Active.
    static int OnPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*)
    {
        const char* interface = nullptr;
        int r = sd_bus_message_read(message, "s", &interface);
        if (r < 0 || interface == nullptr || std::strcmp(interface, kSession) != 0) {
            return 0;
        }
        r = sd_bus_message_enter_container(message, 'a', "{sv}");
        while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
            const char* name = nullptr;
            r = sd_bus_message_read(message, "s", &name);
            if (r >= 0 && name != nullptr &&
                (std::strcmp(name, "LockedHint") == 0 || std::strcmp(name, "Active") == 0)) {
                int value = 0;
                r = sd_bus_message_read(message, "v", "b", &value);
                if (r >= 0) {
                    Self(self).Apply(name, value != 0);
                }
            } else if (r >= 0) {
                r = sd_bus_message_skip(message, "v");
            }
            if (r >= 0) {
                r = sd_bus_message_exit_container(message);
            }
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);
        }
        // Properties named without their values are read again.
        if (r >= 0 && sd_bus_message_enter_container(message, 'a', "s") > 0) {
            const char* name = nullptr;
            while (sd_bus_message_read(message, "s", &name) > 0) {
                if (std::strcmp(name, "LockedHint") == 0 || std::strcmp(name, "Active") == 0) {
                    Self(self).ReadProperty(name);
                }
            }
        }
        return 0;
    }

    // For desktops that ask the session to lock without setting LockedHint.
    static int OnLock(sd_bus_message*, void* self, sd_bus_error*)
    {
        Self(self).m_pause.Set(PauseReason::SessionLocked, true);
        return 0;
    }

    static int OnUnlock(sd_bus_message*, void* self, sd_bus_error*)
    {
        Self(self).m_pause.Set(PauseReason::SessionLocked, false);
        return 0;
    }

    static int OnPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*)
    {
        int sleeping = 0;
        if (sd_bus_message_read(message, "b", &sleeping) >= 0) {
            Self(self).m_pause.Set(PauseReason::Sleeping, sleeping != 0);
        }
        return 0;
    }

    void Run()
    {
        for (;;) {
            int r = 0;
            while ((r = sd_bus_process(m_bus.get(), nullptr)) > 0) {
            }
            if (r < 0) {
                // Nothing will clear what was set: the host goes on as if always active.
                LogWarning(std::string("lost the system bus (") + std::strerror(-r) + ")" + kNotFollowed + " any more");
                for (const PauseReason reason : {PauseReason::SessionLocked, PauseReason::SessionInactive,
                                                 PauseReason::Sleeping}) {
                    m_pause.Set(reason, false);
                }
                return;
            }
            pollfd fds[2] = {{sd_bus_get_fd(m_bus.get()), static_cast<short>(sd_bus_get_events(m_bus.get())), 0},
                             {m_wake, POLLIN, 0}};
            if (::poll(fds, 2, PollTimeoutMs(m_bus.get())) < 0 && errno != EINTR) {
                LogWarning(std::string("cannot wait for the system bus (") + std::strerror(errno) + ")" +
                           kNotFollowed + " any more");
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                return;
            }
        }
    }

    Bus m_bus;
    std::string m_path;
    PauseState& m_pause;
    std::vector<Slot> m_slots;
    int m_wake = -1;
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<SessionFollower> FollowLogindSession(PauseState& pause)
{
    sd_bus* opened = nullptr;
    if (const int r = sd_bus_open_system(&opened); r < 0) {
        LogInfo(std::string("no system bus (") + std::strerror(-r) + ")" + kNotFollowed);
        return nullptr;
    }
    Bus bus(opened);
    sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUs);
    std::string failure;
    const std::string path = FindSessionPath(bus.get(), failure);
    if (path.empty()) {
        LogInfo("logind gives no session (" + failure + ")" + kNotFollowed);
        return nullptr;
    }
    auto watch = std::make_unique<LogindWatch>(std::move(bus), path, pause);
    if (!watch->Start(failure)) {
        LogWarning("logind's session " + path + ": " + failure + kNotFollowed);
        return nullptr;
    }
    LogInfo("following the login session " + path + " through logind");
    return watch;
}
