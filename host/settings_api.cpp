#include "settings_api.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "base/log.h"
#include "daemon_api.h"
#include "host_conf_file.h"
#include "host_platform.h"
#include "json_text.h"
#include "text_file.h"

namespace {

constexpr size_t kMaxIndexBytes = 65536;
constexpr char kStoredPrefix[] = "user-";
constexpr char kJson[] = "application/json; charset=utf-8";
// The members a change may carry besides the layout, each checked as host.conf checks it.
constexpr const char* kEffectMembers[] = {"mode", "sensitivity", "background", "brightness"};

std::string Write(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

std::string ErrorReply(std::string_view status, const std::string& message)
{
    Json::Value body;
    body["error"] = message;
    return WebReply(status, kJson, Write(body));
}

// The layout's own "name", or the fallback.
std::string LayoutName(const std::string& text, const std::string& fallback)
{
    const std::optional<Json::Value> root = ParseJsonObject(text);
    if (root && (*root)["name"].isString() && !(*root)["name"].asString().empty()) {
        return (*root)["name"].asString();
    }
    return fallback;
}

// A stored layout's file name, made from its bytes: the same document is kept once.
std::string StoredFileName(const std::string& text)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, "%s%016llx.json", kStoredPrefix, static_cast<unsigned long long>(hash));
    return name;
}

// "user-<16 hex>", the name a stored layout goes by in a removal.
bool IsStoredName(std::string_view name)
{
    return name.size() == 5 + 16 && name.starts_with(kStoredPrefix) &&
           name.find_first_not_of("0123456789abcdef", 5) == std::string_view::npos;
}

constexpr char kStoredRefPrefix[] = "layouts/";

}  // namespace

bool IsStoredFileName(const std::string& name)
{
    return name.ends_with(".json") && IsStoredName(std::string_view(name).substr(0, name.size() - 5));
}

SettingsApi::SettingsApi(HostChoices& choices, SettingsPlaces places, std::string layoutRef)
    : m_choices(choices), m_places(std::move(places)), m_layoutRef(std::move(layoutRef))
{
    const Choices current = m_choices.Current();
    m_layoutName = LayoutName(current.layoutJson, current.layoutName);
    ReadLayouts();
}

void SettingsApi::ReadLayouts()
{
    const std::optional<std::string> indexText = ReadTextFile(m_places.bundledDir / "index.json", kMaxIndexBytes);
    const std::optional<Json::Value> index = indexText ? ParseJson(*indexText) : std::nullopt;
    if (index && index->isArray()) {
        for (const Json::Value& entry : *index) {
            const std::string file = entry.isObject() && entry["file"].isString() ? entry["file"].asString() : "";
            std::error_code error;
            const std::filesystem::path path = m_places.bundledDir / (file + ".json");
            if (IsBundledLayoutName(file) && entry["name"].isString() &&
                std::filesystem::is_regular_file(path, error)) {
                m_bundled.push_back({file, entry["name"].asString(), path});
            }
        }
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Utf8Path(m_places.storedLayoutsDir), error)) {
        const std::string name = entry.path().filename().string();
        if (!IsStoredFileName(name) || !entry.is_regular_file(error)) {
            continue;
        }
        const std::optional<std::string> text = ReadTextFile(entry.path(), kMaxRequestBytes);
        m_stored.push_back({kStoredRefPrefix + name, text ? LayoutName(*text, "Uploaded layout") : "Uploaded layout",
                            entry.path(), entry.last_write_time(error)});
    }
    SortStored();
}

const SettingsApi::Layout* SettingsApi::FindLayout(const std::string& id) const
{
    for (const std::vector<Layout>* layouts : {&m_bundled, &m_stored}) {
        const auto found = std::find_if(layouts->begin(), layouts->end(), [&](const Layout& l) { return l.id == id; });
        if (found != layouts->end()) {
            return &*found;
        }
    }
    return nullptr;
}

std::vector<SettingsApi::Layout>::iterator SettingsApi::StoredLayout(const std::string& id)
{
    return std::find_if(m_stored.begin(), m_stored.end(), [&](const Layout& l) { return l.id == id; });
}

void SettingsApi::SortStored()
{
    std::sort(m_stored.begin(), m_stored.end(), [](const Layout& a, const Layout& b) { return a.id < b.id; });
}

void SettingsApi::MarkUsed(const std::string& id)
{
    const auto found = StoredLayout(id);
    if (found == m_stored.end()) {
        return;
    }
    // The file's time keeps the order across restarts.
    found->used = std::filesystem::file_time_type::clock::now();
    std::error_code error;
    std::filesystem::last_write_time(found->file, found->used, error);
}

void SettingsApi::RemoveLeastUsedStored()
{
    while (m_stored.size() > kMaxStoredLayouts) {
        auto oldest = m_stored.end();
        for (auto it = m_stored.begin(); it != m_stored.end(); ++it) {
            if (it->id != m_layoutRef && (oldest == m_stored.end() || it->used < oldest->used)) {
                oldest = it;
            }
        }
        if (oldest == m_stored.end()) {
            return;
        }
        std::error_code error;
        std::filesystem::remove(oldest->file, error);
        LogInfo("removed the stored layout " + oldest->id + ", used longest ago, to keep at most " +
                std::to_string(kMaxStoredLayouts));
        m_stored.erase(oldest);
    }
}

std::string SettingsApi::SettingsJson() const
{
    const Choices choices = m_choices.Current();
    Json::Value root;
    // null until the first layout is chosen.
    root["layout"] = m_layoutRef.empty() ? Json::Value() : Json::Value(m_layoutRef);
    root["layoutName"] = m_layoutRef.empty() ? Json::Value() : Json::Value(m_layoutName);
    root["mode"] = choices.effect.mode;
    root["sensitivity"] = choices.effect.sensitivity;
    root["background"] = choices.effect.background;
    root["brightness"] = choices.effect.brightness;
    root["listen"] = choices.listen.Id();
    root["delay"] = choices.delay.Text();
    root["daemonPort"] = m_choices.DaemonPort();
    root["layouts"] = Json::arrayValue;
    for (const Layout& layout : m_bundled) {
        Json::Value entry;
        entry["id"] = layout.id;
        entry["name"] = layout.name;
        root["layouts"].append(entry);
    }
    for (const Layout& layout : m_stored) {
        Json::Value entry;
        entry["id"] = layout.id;
        entry["name"] = layout.name;
        // What a removal names: "user-<16 hex>".
        entry["stored"] = layout.id.substr(sizeof kStoredRefPrefix - 1, 5 + 16);
        root["layouts"].append(entry);
    }
    return Write(root);
}

std::string SettingsApi::Answer(const WebRequest& request)
{
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (request.path == "/api/settings") {
        if (get) {
            return WebReply("200 OK", kJson, SettingsJson(), request.method == "GET");
        }
        return request.method == "POST" ? Change(request.body) : ErrorReply("405 Method Not Allowed", "GET or POST");
    }
    if (request.path == "/api/settings/layout") {
        if (!get) {
            return ErrorReply("405 Method Not Allowed", "GET only");
        }
        if (m_layoutRef.empty()) {
            return ErrorReply("404 Not Found", "no layout has been chosen yet");
        }
        return WebReply("200 OK", kJson, m_choices.Current().layoutJson, request.method == "GET");
    }
    if (request.path == "/api/layouts") {
        return request.method == "POST" ? Upload(request.body) : ErrorReply("405 Method Not Allowed", "POST only");
    }
    if (request.path.starts_with("/api/layouts/")) {
        return request.method == "DELETE" ? Remove(request.path.substr(13))
                                          : ErrorReply("405 Method Not Allowed", "DELETE only");
    }
    return ErrorReply("404 Not Found", "no such route");
}

std::string SettingsApi::Change(std::string_view body)
{
    const std::optional<Json::Value> parsed = ParseJsonObject(body);
    if (!parsed) {
        return ErrorReply("400 Bad Request", "the body is not a JSON object");
    }
    const Json::Value& request = *parsed;
    Choices next = m_choices.Current();
    std::vector<std::pair<std::string, std::string>> values;
    std::string layoutRef = m_layoutRef;
    for (const std::string& member : request.getMemberNames()) {
        const Json::Value& value = request[member];
        if (member == "layout") {
            const Layout* chosen = value.isString() ? FindLayout(value.asString()) : nullptr;
            if (chosen == nullptr) {
                return ErrorReply("400 Bad Request", "layout: not one of the layouts offered");
            }
            const std::optional<std::string> text = ReadTextFile(chosen->file, kMaxRequestBytes);
            if (!text || text->empty() || !LayoutFitsOneRequest(*text)) {
                return ErrorReply("400 Bad Request", "layout: " + chosen->id + " cannot be read or is too large");
            }
            layoutRef = chosen->id;
            next.layoutJson = *text;
            next.layoutName = chosen->id;
            values.emplace_back("layout", layoutRef);
            continue;
        }
        if (member == "listen" || member == "delay") {
            if (!value.isString()) {
                return ErrorReply("400 Bad Request", member + ": not a string");
            }
            const std::string text = value.asString();
            if (const std::optional<std::string> error = CheckListenSetting(member, text)) {
                return ErrorReply("400 Bad Request", member + ": " + *error);
            }
            if (member == "listen") {
                next.listen = *ParseCaptureSource(text);
            } else {
                next.delay = *ParseCaptureDelay(text);
            }
            values.emplace_back(member, text);
            continue;
        }
        const auto known = std::find(std::begin(kEffectMembers), std::end(kEffectMembers), member);
        if (known == std::end(kEffectMembers)) {
            return ErrorReply("400 Bad Request", "unknown setting '" + member + "'");
        }
        if (!value.isInt()) {
            return ErrorReply("400 Bad Request", member + ": not a whole number");
        }
        if (const std::optional<std::string> error = CheckEffectSetting(member, value.asInt())) {
            return ErrorReply("400 Bad Request", member + ": " + *error);
        }
        EffectSettings& effect = next.effect;
        int EffectSettings::*field = member == "mode"          ? &EffectSettings::mode
                                     : member == "sensitivity" ? &EffectSettings::sensitivity
                                     : member == "background"  ? &EffectSettings::background
                                                               : &EffectSettings::brightness;
        effect.*field = value.asInt();
        values.emplace_back(member, std::to_string(value.asInt()));
    }
    if (layoutRef != m_layoutRef) {
        // Tried first where a daemon runs, so that a layout it would reject
        // never becomes the one the host keeps uploading.
        const HostChoices::Trial trial = m_choices.TryLayout(next.layoutJson, kTrialTimeoutMs);
        if (trial.verdict == HostChoices::Verdict::Rejected) {
            m_choices.Set(m_choices.Current());
            return ErrorReply("422 Unprocessable Content", trial.reason);
        }
    }
    if (std::optional<std::string> failure = Save(values)) {
        m_choices.Set(m_choices.Current());
        return *failure;
    }
    if (layoutRef != m_layoutRef) {
        m_layoutRef = layoutRef;
        m_layoutName = LayoutName(next.layoutJson, next.layoutName);
        MarkUsed(layoutRef);
    }
    m_choices.Set(std::move(next));
    return WebReply("200 OK", kJson, SettingsJson());
}

std::string SettingsApi::Upload(std::string_view body)
{
    const std::string text(body);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return ErrorReply("400 Bad Request", "the layout is empty");
    }
    if (!LayoutFitsOneRequest(text)) {
        return ErrorReply("413 Content Too Large", "the layout is too large for one request to the daemon");
    }
    if (m_places.storedLayoutsDir.empty()) {
        return ErrorReply("500 Internal Server Error", "there is no configuration directory to keep layouts in");
    }
    const HostChoices::Trial trial = m_choices.TryLayout(text, kTrialTimeoutMs);
    if (trial.verdict != HostChoices::Verdict::Accepted) {
        m_choices.Set(m_choices.Current());
        return trial.verdict == HostChoices::Verdict::Rejected
                   ? ErrorReply("422 Unprocessable Content", trial.reason)
                   : ErrorReply("503 Service Unavailable",
                                "no daemon answers, so the layout cannot be checked; start the daemon and try again");
    }
    const std::string name = StoredFileName(text);
    const std::string path = m_places.storedLayoutsDir + "/" + name;
    const std::string ref = kStoredRefPrefix + name;
    std::error_code error;
    const bool existed = std::filesystem::exists(Utf8Path(path), error);
    if (WriteFileAtomically(path, text) != WriteOutcome::Written) {
        m_choices.Set(m_choices.Current());
        return ErrorReply("500 Internal Server Error",
                          "the layout could not be stored in " + m_places.storedLayoutsDir);
    }
    if (std::optional<std::string> failure = Save({{"layout", ref}})) {
        if (!existed) {
            std::filesystem::remove(Utf8Path(path), error);
        }
        m_choices.Set(m_choices.Current());
        return *failure;
    }
    LogInfo("stored the uploaded layout as " + path);
    if (FindLayout(ref) == nullptr) {
        m_stored.push_back({ref, LayoutName(text, "Uploaded layout"), Utf8Path(path)});
        SortStored();
    }
    m_layoutRef = ref;
    m_layoutName = LayoutName(text, ref);
    MarkUsed(ref);
    RemoveLeastUsedStored();
    Choices next = m_choices.Current();
    next.layoutJson = text;
    next.layoutName = ref;
    m_choices.Set(std::move(next));
    return WebReply("200 OK", kJson, SettingsJson());
}

std::string SettingsApi::Remove(std::string_view name)
{
    const std::string ref = kStoredRefPrefix + std::string(name) + ".json";
    const auto found = StoredLayout(ref);
    if (!IsStoredName(name) || found == m_stored.end()) {
        return ErrorReply("404 Not Found", "no stored layout of that name");
    }
    if (ref == m_layoutRef) {
        return ErrorReply("409 Conflict", "the layout in use cannot be removed; choose another one first");
    }
    std::error_code error;
    if (!std::filesystem::remove(found->file, error) && error) {
        return ErrorReply("500 Internal Server Error", found->id + " could not be removed");
    }
    LogInfo("removed the stored layout " + found->id);
    m_stored.erase(found);
    return WebReply("200 OK", kJson, SettingsJson());
}

std::optional<std::string> SettingsApi::Save(const std::vector<std::pair<std::string, std::string>>& values)
{
    if (values.empty()) {
        return std::nullopt;
    }
    const ConfSave outcome = SaveHostConfValues(m_places.confPath, values);
    if (outcome == ConfSave::Unreadable) {
        return ErrorReply("500 Internal Server Error", m_places.confPath + " cannot be read; nothing changed");
    }
    if (outcome == ConfSave::ReadOnly) {
        LogWarning(m_places.confPath + " is read-only: the settings are not saved");
        return ErrorReply("500 Internal Server Error", "host.conf is read-only");
    }
    if (outcome != ConfSave::Saved) {
        LogWarning("could not save the settings to " + m_places.confPath);
        return ErrorReply("500 Internal Server Error", m_places.confPath + " could not be written; nothing changed");
    }
    std::string what;
    for (const auto& [key, value] : values) {
        what += (what.empty() ? "" : ", ") + key + " = " + value;
    }
    LogInfo("saved " + what + " to " + m_places.confPath);
    return std::nullopt;
}
