#include "daemon_api.h"

#include <json/json.h>

#include <charconv>
#include <string_view>

#include "json_text.h"

namespace {

constexpr int kFindTimeoutMs = 500;
// New parameters hold the daemon's one server thread for 150 ms; a loaded
// machine may take longer still.
constexpr int kRequestTimeoutMs = 3000;
constexpr char kLayoutAccepted[] = R"({"status": "layout received via GET"})";

// Every byte but the unreserved ones escaped, so the daemon's decoding gives
// the document back exactly ("+" included).
std::string PercentEncoded(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '_' || byte == '.' || byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

int IntMember(const Json::Value& object, const char* name)
{
    const Json::Value& value = object[name];
    return value.isInt() ? value.asInt() : 0;
}

// "#RRGGBB" as 0xRRGGBB; black for anything else.
uint32_t Colour(const Json::Value& value)
{
    const std::string text = value.isString() ? value.asString() : std::string();
    if (text.size() != 7 || text[0] != '#') {
        return 0;
    }
    uint32_t rgb = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + 1, end, rgb, 16);
    return error == std::errc() && stop == end ? rgb : 0;
}

}  // namespace

EffectState ParseEffectReply(const std::string& body)
{
    EffectState state;
    const std::optional<Json::Value> parsed = ParseJsonObject(body);
    if (!parsed || !(*parsed)["keys"].isArray()) {
        return state;
    }
    const Json::Value& root = *parsed;
    state.isEffect = true;
    state.mode = IntMember(root, "mode");
    for (const Json::Value& key : root["keys"]) {
        if (!key.isObject()) {
            continue;
        }
        state.keys.push_back({IntMember(key, "row"), IntMember(key, "col"), IntMember(key, "keyCode"),
                              IntMember(key, "keyIndex"), Colour(key["color"])});
    }
    return state;
}

bool SameLayout(const EffectState& a, const EffectState& b)
{
    if (a.keys.size() != b.keys.size()) {
        return false;
    }
    for (size_t i = 0; i < a.keys.size(); ++i) {
        if (!a.keys[i].SamePlace(b.keys[i])) {
            return false;
        }
    }
    return true;
}

bool KeyPlacesText(const std::string& body, std::string& places)
{
    static constexpr std::string_view kKeys = R"("keys":[)";
    static constexpr std::string_view kColour = R"("color":")";
    places.clear();
    const size_t begin = body.find(kKeys);
    const size_t end = begin == std::string::npos ? std::string::npos : body.find(']', begin);
    if (end == std::string::npos) {
        return false;
    }
    const std::string_view keys = std::string_view(body).substr(begin, end - begin);
    size_t at = 0;
    for (size_t colour = keys.find(kColour); colour != std::string_view::npos; colour = keys.find(kColour, at)) {
        places.append(keys.substr(at, colour - at + kColour.size()));
        const size_t close = keys.find('"', colour + kColour.size());
        at = close == std::string_view::npos ? keys.size() : close;
    }
    places.append(keys.substr(at));
    return true;
}

std::string LayoutTarget(const std::string& layoutJson)
{
    return std::string(api_contract::kLayoutPath) + "?layout=" + PercentEncoded(layoutJson);
}

bool LayoutFitsOneRequest(const std::string& layoutJson)
{
    // The request line's method and version and the client's headers around the target.
    constexpr size_t kRequestOverheadBytes = 256;
    return LayoutTarget(layoutJson).size() + kRequestOverheadBytes <= kMaxRequestBytes;
}

std::optional<uint16_t> DaemonApi::Find(uint16_t port)
{
    const uint16_t first = port != 0 ? port : kFirstDaemonPort;
    const uint16_t last = port != 0 ? port : kLastDaemonPort;
    for (uint32_t candidate = first; candidate <= last; ++candidate) {
        // The hardware route changes nothing in the daemon: a safe way to ask "are you there?".
        const auto reply = m_http.Get(static_cast<uint16_t>(candidate), api_contract::kHardwarePath, kFindTimeoutMs);
        // Another program on the port would not answer this route with JSON.
        if (reply && reply->status == 200 && reply->contentType.starts_with("application/json") &&
            ParseJsonObject(reply->body)) {
            return static_cast<uint16_t>(candidate);
        }
    }
    return std::nullopt;
}

DaemonApi::UploadResult DaemonApi::UploadLayout(uint16_t port, const std::string& layoutJson)
{
    const auto reply = m_http.Get(port, LayoutTarget(layoutJson), kRequestTimeoutMs);
    if (!reply) {
        return {};
    }
    if (reply->body == kLayoutAccepted) {
        return {Upload::Accepted, {}};
    }
    std::string error = reply->body;
    if (const std::optional<Json::Value> root = ParseJsonObject(reply->body); root && (*root)["error"].isString()) {
        error = (*root)["error"].asString();
    }
    return {Upload::Rejected, error};
}

// A daemon that offers no choice (or one older than the route) answers with
// an error, or with the invalid-request body: both are a refusal.
DaemonApi::ChoiceResult DaemonApi::ChooseSource(uint16_t port, const CaptureSource& listen, const CaptureDelay& delay)
{
    const std::string target = std::string(api_contract::kAudioSourcePath) + "?id=" + PercentEncoded(listen.Id()) +
                               "&delay=" + delay.Text();
    const auto reply = m_http.Get(port, target, kRequestTimeoutMs);
    if (!reply) {
        return {};
    }
    const std::optional<Json::Value> root = ParseJsonObject(reply->body);
    if (root && (*root)["current"].isString() && (*root)["current"].asString() == listen.Id()) {
        return {Choice::Accepted, {}};
    }
    if (root && (*root)["error"].isString()) {
        return {Choice::Refused, (*root)["error"].asString()};
    }
    return {Choice::Refused, reply->body};
}

std::optional<std::string> DaemonApi::Effect(uint16_t port, const EffectSettings* settings)
{
    std::string target = api_contract::kEffectPath;
    if (settings != nullptr) {
        target += "?param=" + std::to_string(settings->mode) + "&" + std::to_string(settings->sensitivity) + "&" +
                  std::to_string(settings->background) + "&" + std::to_string(settings->brightness) + "&1";
    }
    const auto reply = m_http.Get(port, target, kRequestTimeoutMs);
    if (!reply) {
        return std::nullopt;
    }
    return reply->body;
}
