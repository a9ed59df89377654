#include "settings_api.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

#include "base/log.h"
#include "daemon_api.h"
#include "host_platform.h"
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

bool ParseObject(std::string_view text, Json::Value& root)
{
    Json::CharReaderBuilder builder;
    builder["allowComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors) && root.isObject();
}

// The layout's own "name", or the fallback.
std::string LayoutName(const std::string& text, const std::string& fallback)
{
    Json::Value root;
    if (ParseObject(text, root) && root["name"].isString() && !root["name"].asString().empty()) {
        return root["name"].asString();
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

bool IsStoredFileName(const std::string& name)
{
    return name.size() == 5 + 16 + 5 && name.starts_with(kStoredPrefix) && name.ends_with(".json") &&
           name.find_first_not_of("0123456789abcdef", 5) == 21;
}

}  // namespace

SettingsApi::SettingsApi(HostChoices& choices, SettingsPlaces places, std::string layoutRef)
    : m_choices(choices), m_places(std::move(places)), m_layoutRef(std::move(layoutRef))
{
}

std::vector<SettingsApi::Layout> SettingsApi::Layouts() const
{
    std::vector<Layout> layouts;
    Json::Value index;
    const std::optional<std::string> indexText = ReadTextFile(m_places.bundledDir / "index.json", kMaxIndexBytes);
    if (indexText && Json::Reader().parse(*indexText, index) && index.isArray()) {
        for (const Json::Value& entry : index) {
            const std::string file = entry["file"].isString() ? entry["file"].asString() : std::string();
            std::error_code error;
            const std::filesystem::path path = m_places.bundledDir / (file + ".json");
            if (IsBundledLayoutName(file) && entry["name"].isString() &&
                std::filesystem::is_regular_file(path, error)) {
                layouts.push_back({file, entry["name"].asString(), path});
            }
        }
    }
    std::error_code error;
    const std::filesystem::path stored = Utf8Path(m_places.storedLayoutsDir);
    std::vector<Layout> uploads;
    for (const auto& entry : std::filesystem::directory_iterator(stored, error)) {
        const std::string name = entry.path().filename().string();
        if (!IsStoredFileName(name) || !entry.is_regular_file(error)) {
            continue;
        }
        const std::optional<std::string> text = ReadTextFile(entry.path(), kMaxRequestBytes);
        uploads.push_back({"layouts/" + name, text ? LayoutName(*text, "Uploaded layout") : "Uploaded layout",
                           entry.path()});
    }
    std::sort(uploads.begin(), uploads.end(), [](const Layout& a, const Layout& b) { return a.id < b.id; });
    layouts.insert(layouts.end(), uploads.begin(), uploads.end());
    return layouts;
}

std::string SettingsApi::SettingsJson() const
{
    const Choices choices = m_choices.Current();
    Json::Value root;
    root["layout"] = m_layoutRef;
    root["layoutName"] = LayoutName(choices.layoutJson, choices.layoutName);
    root["mode"] = choices.effect.mode;
    root["sensitivity"] = choices.effect.sensitivity;
    root["background"] = choices.effect.background;
    root["brightness"] = choices.effect.brightness;
    root["daemonPort"] = m_choices.DaemonPort();
    root["layouts"] = Json::arrayValue;
    for (const Layout& layout : Layouts()) {
        Json::Value entry;
        entry["id"] = layout.id;
        entry["name"] = layout.name;
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
        return WebReply("200 OK", kJson, m_choices.Current().layoutJson, request.method == "GET");
    }
    if (request.path == "/api/layouts") {
        return request.method == "POST" ? Upload(request.body) : ErrorReply("405 Method Not Allowed", "POST only");
    }
    return ErrorReply("404 Not Found", "no such route");
}

std::string SettingsApi::Change(std::string_view body)
{
    Json::Value request;
    if (!ParseObject(body, request)) {
        return ErrorReply("400 Bad Request", "the body is not a JSON object");
    }
    Choices next = m_choices.Current();
    std::vector<std::pair<std::string, std::string>> values;
    std::string layoutRef = m_layoutRef;
    for (const std::string& member : request.getMemberNames()) {
        const Json::Value& value = request[member];
        if (member == "layout") {
            const std::vector<Layout> layouts = Layouts();
            const auto chosen = std::find_if(layouts.begin(), layouts.end(), [&](const Layout& layout) {
                return value.isString() && layout.id == value.asString();
            });
            if (chosen == layouts.end()) {
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
    m_layoutRef = layoutRef;
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
    std::error_code error;
    const bool existed = std::filesystem::exists(Utf8Path(path), error);
    if (!WriteFileAtomically(path, text)) {
        m_choices.Set(m_choices.Current());
        return ErrorReply("500 Internal Server Error",
                          "the layout could not be stored in " + m_places.storedLayoutsDir);
    }
    const std::string ref = "layouts/" + name;
    if (std::optional<std::string> failure = Save({{"layout", ref}})) {
        if (!existed) {
            std::filesystem::remove(Utf8Path(path), error);
        }
        m_choices.Set(m_choices.Current());
        return *failure;
    }
    LogInfo("stored the uploaded layout as " + path);
    m_layoutRef = ref;
    Choices next = m_choices.Current();
    next.layoutJson = text;
    next.layoutName = ref;
    m_choices.Set(std::move(next));
    return WebReply("200 OK", kJson, SettingsJson());
}

std::optional<std::string> SettingsApi::Save(const std::vector<std::pair<std::string, std::string>>& values)
{
    if (values.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path conf = Utf8Path(m_places.confPath);
    std::string text;
    if (std::filesystem::exists(conf, error)) {
        const std::optional<std::string> current = ReadTextFile(conf, kMaxHostConfBytes);
        if (!current) {
            return ErrorReply("500 Internal Server Error", m_places.confPath + " cannot be read; nothing changed");
        }
        text = *current;
    }
    if (m_places.confPath.empty() || !WriteFileAtomically(m_places.confPath, UpdateHostConf(text, values))) {
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
