#include "daemon_watch.h"

#include <chrono>

#include "base/api_contract.h"
#include "host_settings.h"
#include "json_text.h"

namespace {

constexpr int kStatusTimeoutMs = 500;
constexpr char kTooltipHead[] = "Tonvik: ";
constexpr char kLightingHead[] = "lighting ";

}  // namespace

std::optional<bool> KeyboardFoundInStatus(const std::string& body)
{
    const std::optional<Json::Value> status = ParseJsonObject(body);
    if (!status || !(*status)["keyboard"].isObject() || !(*status)["keyboard"]["found"].isBool()) {
        return std::nullopt;
    }
    return (*status)["keyboard"]["found"].asBool();
}

std::string LauncherTooltip(const LauncherFacts& facts)
{
    std::string text = kTooltipHead;
    if (!facts.daemonAnswers) {
        return text + "daemon not running";
    }
    if (facts.paused) {
        return text + "paused";
    }
    if (!facts.keyboardFound) {
        return text + "no keyboard found";
    }
    if (facts.layoutName.empty()) {
        return text + "no layout chosen";
    }
    text += kLightingHead;
    // Cut on a character boundary: a UTF-8 continuation byte never ends the text.
    size_t room = kMaxTooltipChars - text.size();
    if (facts.layoutName.size() > room) {
        while (room > 0 && (static_cast<unsigned char>(facts.layoutName[room]) & 0xC0) == 0x80) {
            --room;
        }
        return text + facts.layoutName.substr(0, room);
    }
    return text + facts.layoutName;
}

DaemonWatch::DaemonWatch(std::unique_ptr<HttpClient> http, int pollMs, std::function<void()> changed)
    : m_http(std::move(http)), m_pollMs(pollMs), m_changed(std::move(changed)), m_thread([this] { Run(); })
{
}

DaemonWatch::~DaemonWatch()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

DaemonWatch::Seen DaemonWatch::Current() const
{
    std::lock_guard lock(m_mutex);
    return m_seen;
}

void DaemonWatch::SetHosted(const HostChoices* choices)
{
    std::lock_guard lock(m_mutex);
    m_hosted = choices;
}

std::string DaemonWatch::HostedLayoutName()
{
    Choices current;
    uint64_t version = 0;
    {
        // Under the lock, so the choices cannot go away while they are read.
        std::lock_guard lock(m_mutex);
        if (m_hosted == nullptr) {
            m_namedChoices = nullptr;
            return {};
        }
        if (m_hosted == m_namedChoices && m_hosted->Version() == m_namedVersion) {
            return m_name;
        }
        current = m_hosted->Current(&version);
        m_namedChoices = m_hosted;
    }
    const std::optional<Json::Value> document = ParseJsonObject(current.layoutJson);
    m_name = document && (*document)["name"].isString() && !(*document)["name"].asString().empty()
                 ? (*document)["name"].asString()
                 : current.layoutName;
    m_namedVersion = version;
    return m_name;
}

DaemonWatch::Seen DaemonWatch::Poll(uint16_t lastPort)
{
    if (m_http == nullptr) {
        return {};
    }
    const auto ask = [this](uint16_t port) -> std::optional<Seen> {
        const auto reply = m_http->Get(port, api_contract::kStatusPath, kStatusTimeoutMs);
        const std::optional<bool> found =
            reply && reply->status == 200 ? KeyboardFoundInStatus(reply->body) : std::nullopt;
        return found ? std::optional<Seen>(Seen{true, *found, port, {}}) : std::nullopt;
    };
    if (lastPort != 0) {
        if (const auto seen = ask(lastPort)) {
            return *seen;
        }
    }
    for (uint32_t port = kFirstDaemonPort; port <= kLastDaemonPort; ++port) {
        if (port != lastPort) {
            if (const auto seen = ask(static_cast<uint16_t>(port))) {
                return *seen;
            }
        }
    }
    return {};
}

void DaemonWatch::Run()
{
    uint16_t lastPort = 0;
    for (;;) {
        Seen seen = Poll(lastPort);
        lastPort = seen.port;
        seen.layoutName = HostedLayoutName();
        bool changed = false;
        {
            std::unique_lock lock(m_mutex);
            changed = seen.answers != m_seen.answers || seen.keyboardFound != m_seen.keyboardFound ||
                      seen.layoutName != m_seen.layoutName;
            m_seen = seen;
        }
        if (changed && m_changed) {
            m_changed();
        }
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, std::chrono::milliseconds(m_pollMs), [this] { return m_stopping; })) {
            return;
        }
    }
}
