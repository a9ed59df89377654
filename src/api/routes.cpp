#include "api/routes.h"

#include <json/json.h>

#include <cstdio>
#include <exception>
#include <string_view>

#include "api/audio_source_routes.h"
#include "api/request_line.h"
#include "base/api_contract.h"
#include "base/clock.h"
#include "base/decode.h"
#include "base/version.h"

namespace {

const char kCloseReply[] = R"({"status": "close ok"})";
const char kEmptyReply[] = R"({"status": "empty"})";
const char kLayoutReply[] = R"({"status": "layout received via GET"})";
const char kInvalidReply[] = R"({"error": "Invalid request"})";
const char kBase64MissingReply[] = R"({"status": "error", "message": "缺少Base64数据参数", "success": false})";
// The pieces around the dynamic values of the Base64 route's replies and of an error reply.
const char kBase64SuccessHead[] = R"({"status": "success", "message": "布局数据已成功接收并处理", "dataSize": )";
const char kBase64ErrorHead[] = R"({"status": "error", "message": ")";
const char kBase64EncodedSize[] = R"(", "encodedSize": )";
const char kBase64DecodedSize[] = R"(, "decodedSize": )";
const char kTimestamp[] = R"(, "timestamp": )";
const char kBase64ErrorTail[] = R"(, "success": false})";
const char kErrorHead[] = R"({"error": ")";
const char kErrorTail[] = R"("})";

// The inside of a JSON string: quotes, backslashes and control characters
// escaped, every other byte (UTF-8 included) as it is.
std::string JsonEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

const char* JsonBool(bool value)
{
    return value ? "true" : "false";
}

// "320F", as the status route writes a USB id.
std::string UsbIdText(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", id);
    return text;
}

// A layout as a query carries it, given to the layout reader: percent-decoded
// ("+" is a blank), without a leading "data=". Empty text is no layout and
// changes nothing.
std::optional<std::string> ReadLayoutQuery(const std::string& text, LayoutTargets targets)
{
    if (text.empty()) {
        return std::nullopt;
    }
    std::string document = UrlDecode(text);
    if (document.starts_with("data=")) {
        document.erase(0, 5);
    }
    return ParseLayout(document, targets);
}

std::string ErrorReply(const std::string& message)
{
    return kErrorHead + JsonEscaped(message) + kErrorTail;
}

// Every failure of the Base64 route, a rejected layout included, in one shape.
std::string Base64ErrorReply(const std::string& message, size_t encodedSize, size_t decodedSize)
{
    return kBase64ErrorHead + JsonEscaped(message) + kBase64EncodedSize + std::to_string(encodedSize) +
           kBase64DecodedSize + std::to_string(decodedSize) + kTimestamp + std::to_string(TickCount64()) +
           kBase64ErrorTail;
}

std::string Base64LayoutRoute(const ApiTargets& api, const std::string& request)
{
    const std::optional<std::string> encoded = ExtractQueryValue(request, "data=");
    if (!encoded) {
        return kBase64MissingReply;
    }
    std::string base64;
    try {
        base64 = UrlDecode(*encoded);
        const std::string payload = Base64Decode(base64);
        if (const std::optional<std::string> rejection = ReadLayoutQuery(payload, api.layout)) {
            return Base64ErrorReply(*rejection, encoded->size(), base64.size());
        }
        return kBase64SuccessHead + std::to_string(payload.size()) + kTimestamp + std::to_string(TickCount64()) + "}";
    } catch (const std::exception& error) {
        return Base64ErrorReply(error.what(), encoded->size(), base64.size());
    }
}

std::string LayoutRoute(const ApiTargets& api, const std::string& request)
{
    if (const std::optional<std::string> layout = ExtractQueryValue(request, "layout=")) {
        if (const std::optional<std::string> rejection = ReadLayoutQuery(*layout, api.layout)) {
            return ErrorReply(*rejection);
        }
    }
    return kLayoutReply;
}

std::string EffectRoute(const ApiTargets& api, const std::string& request)
{
    try {
        if (const auto fields = ExtractParamFields(request); fields && fields->size() >= 5) {
            ApplyEffectParams(*fields, api.effect, api.visualizer, api.pauseMs);
        }
        std::string body = BuildEffectJson(api.keyGrid, api.effect, api.visualizer, api.screenLight);
        return body.empty() ? kEmptyReply : body;
    } catch (const std::exception& error) {
        return ErrorReply(error.what());
    }
}

std::string AmplitudeRoute(const ApiTargets& api, const std::string&)
{
    api.effect.mode = 0;
    api.visualizer.SetBarStyle(0);
    api.visualizer.SetActive(true);
    if (api.lightingActive.exchange(false) && api.lightingOff) {
        api.lightingOff();
    }
    return BuildAmplitudeJson(api.amplitudeReading);
}

std::string HardwareRoute(const ApiTargets& api, const std::string&)
{
    std::string body = api.hardwareJson();
    return body.empty() ? kEmptyReply : body;
}

std::string StatusRoute(const ApiTargets& api, const std::string&)
{
    return BuildStatusJson(api.status());
}

std::string AudioSourcesRoute(const ApiTargets& api, const std::string&)
{
    return AudioSourcesReply(api.visualizer.SourceChoice());
}

std::string AudioSourceRoute(const ApiTargets& api, const std::string& request)
{
    return AudioSourceReply(api.visualizer.SourceChoice(), request);
}

std::string CloseRoute(const ApiTargets&, const std::string&)
{
    return kCloseReply;
}

std::string InvalidRoute(const ApiTargets&, const std::string&)
{
    return kInvalidReply;
}

// What a route does to the lighting state besides building its reply.
struct RouteEffects {
    bool keepsFramesGoing = false;  ///< before the handler: the effect runs and the request time is now
    bool wakesPipeline = false;     ///< before the handler, after the request time: ends a rest
    bool stopsEffect = false;       ///< after the reply is built: the lighting worker's frames pause
};

constexpr RouteEffects kStopsEffect{.stopsEffect = true};
constexpr RouteEffects kChangesNothing{};
// The host polls these to keep its effect alive.
constexpr RouteEffects kHostIsAlive{.keepsFramesGoing = true, .wakesPipeline = true};

using RouteHandler = std::string (*)(const ApiTargets& api, const std::string& requestLine);

struct Route {
    const char* method;
    const char* path;
    RouteHandler handle;
    RouteEffects effects;
};

// Tried in this order, the first whose method and path begin the request line
// wins: the effect path begins the close and layout paths, so those come
// first, and the source path begins the sources path.
constexpr Route kRoutes[] = {
    {"GET", api_contract::kBase64LayoutPath, Base64LayoutRoute, kStopsEffect},
    {"GET", api_contract::kClosePath, CloseRoute, kStopsEffect},
    {"GET", api_contract::kHardwarePath, HardwareRoute, kChangesNothing},
    {"GET", api_contract::kStatusPath, StatusRoute, kChangesNothing},
    {"GET", api_contract::kLayoutPath, LayoutRoute, kStopsEffect},
    {"GET", api_contract::kEffectPath, EffectRoute, kHostIsAlive},
    {"GET", api_contract::kAmplitudePath, AmplitudeRoute, kHostIsAlive},
    {"GET", api_contract::kAudioSourcesPath, AudioSourcesRoute, kChangesNothing},
    {"GET", api_contract::kAudioSourcePath, AudioSourceRoute, kChangesNothing},
};

// A request no route names still counts as the host being alive.
constexpr Route kUnrecognised{"", "", InvalidRoute, kHostIsAlive};

bool Names(std::string_view requestLine, const Route& route)
{
    const std::string_view method(route.method);
    return requestLine.starts_with(method) && requestLine.substr(method.size()).starts_with(' ') &&
           requestLine.substr(method.size() + 1).starts_with(route.path);
}

const Route& FindRoute(std::string_view requestLine)
{
    for (const Route& route : kRoutes) {
        if (Names(requestLine, route)) {
            return route;
        }
    }
    return kUnrecognised;
}

}  // namespace

std::string DispatchRequest(const ApiTargets& api, const std::string& request)
{
    // The parameters, like the route, come from the request line: a header
    // (a Referer, say) must not supply a layout or effect parameters.
    const std::string line(RequestLine(request));
    const Route& route = FindRoute(line);
    if (route.effects.keepsFramesGoing) {
        api.effectRunning = 1;
        api.lastRequestTick = TickCount64();
    }
    if (route.effects.wakesPipeline && api.wake) {
        api.wake();
    }
    std::string body = route.handle(api, line);
    if (route.effects.stopsEffect) {
        api.effectRunning = 0;
    }
    return body;
}

std::optional<std::string> ExtractQueryValue(const std::string& request, const std::string& key)
{
    const size_t keyAt = request.find(key);
    if (keyAt == std::string::npos) {
        return std::nullopt;
    }
    const size_t start = keyAt + key.size();
    const size_t ampersand = request.find('&', start);
    const size_t http = request.find("HTTP", start);
    size_t end = request.size();
    if (http != std::string::npos && (ampersand == std::string::npos || http < ampersand)) {
        // The value ends at the blank before the protocol version; a value that
        // is "HTTP" at once is empty rather than a negative length.
        end = http > start ? http - 1 : start;
    } else if (ampersand != std::string::npos) {
        end = ampersand;
    }
    return request.substr(start, end - start);
}

std::optional<std::vector<std::string>> ExtractParamFields(const std::string& request)
{
    const size_t keyAt = request.find("param=");
    if (keyAt == std::string::npos) {
        return std::nullopt;
    }
    const size_t start = keyAt + 6;
    const size_t blank = request.find(' ', start);
    const std::string value = request.substr(start, blank == std::string::npos ? std::string::npos : blank - start);

    std::vector<std::string> fields;
    size_t pieceStart = 0;
    for (;;) {
        const size_t ampersand = value.find('&', pieceStart);
        if (ampersand == std::string::npos) {
            fields.push_back(value.substr(pieceStart));
            return fields;
        }
        fields.push_back(value.substr(pieceStart, ampersand - pieceStart));
        pieceStart = ampersand + 1;
    }
}

std::string BuildAmplitudeJson(int amplitude)
{
    Json::Value root(Json::objectValue);
    root["amplitude"] = amplitude;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

std::string BuildStatusJson(const DaemonStatus& status)
{
    const bool found = status.keyboard == KeyboardState::Open || status.keyboard == KeyboardState::Denied;
    return std::string(R"({"keyboard": {"found": )") + JsonBool(found) + R"(, "vendorId": ")" +
           UsbIdText(status.vendorId) + R"(", "productId": ")" + UsbIdText(status.productId) +
           R"(", "accessDenied": )" + JsonBool(status.keyboard == KeyboardState::Denied) +
           R"(}, "sound": {"connected": )" + JsonBool(status.soundConnected) + R"(, "recording": ")" +
           JsonEscaped(status.recording) + R"(", "playing": )" + JsonBool(status.playing) + R"(}, "resting": )" +
           JsonBool(status.resting) + R"(, "version": ")" + JsonEscaped(TONVIK_VERSION) + R"("})";
}
