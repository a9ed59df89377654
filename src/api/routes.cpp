#include "api/routes.h"

#include <json/json.h>

#include <exception>

#include "api/decode.h"
#include "app/clock.h"
#include "app/kolvex_dlg.h"

namespace {

const char kCloseReply[] = R"({"status": "close ok"})";
const char kEmptyReply[] = R"({"status": "empty"})";
const char kLayoutReply[] = R"({"status": "layout received via GET"})";
const char kInvalidReply[] = R"({"error": "Invalid request"})";
const char kBase64MissingReply[] = R"({"status": "error", "message": "缺少Base64数据参数", "success": false})";

bool Contains(const std::string& text, const char* literal)
{
    return text.find(literal) != std::string::npos;
}

std::string Base64LayoutRoute(CKolvexDlg& dlg, const std::string& request)
{
    const std::optional<std::string> encoded = ExtractQueryValue(request, "data=");
    if (!encoded) {
        return kBase64MissingReply;
    }
    std::string base64;
    try {
        base64 = UrlDecode(*encoded);
        const std::string payload = Base64Decode(base64);
        ParseLayout(payload, dlg.Layout());
        return R"({"status": "success", "message": "布局数据已成功接收并处理", "dataSize": )" +
               std::to_string(payload.size()) + R"(, "timestamp": )" + std::to_string(TickCount64()) + "}";
    } catch (const std::exception& error) {
        return R"({"status": "error", "message": ")" + std::string(error.what()) + R"(", "encodedSize": )" +
               std::to_string(encoded->size()) + R"(, "decodedSize": )" + std::to_string(base64.size()) +
               R"(, "timestamp": )" + std::to_string(TickCount64()) + "}";
    }
}

std::string LayoutRoute(CKolvexDlg& dlg, const std::string& request)
{
    if (const std::optional<std::string> layout = ExtractQueryValue(request, "layout=")) {
        ParseLayout(*layout, dlg.Layout());
    }
    return kLayoutReply;
}

std::string EffectRoute(CKolvexDlg& dlg, const std::string& request)
{
    try {
        if (const auto fields = ExtractParamFields(request); fields && fields->size() >= 5) {
            ApplyEffectParams(*fields, dlg.m_effect, dlg.m_visualizer);
        }
        std::string body = BuildEffectJson(dlg.m_keyGrid, dlg.m_effect, dlg.m_visualizer, dlg.m_screenLight);
        return body.empty() ? kEmptyReply : body;
    } catch (const std::exception& error) {
        return R"({"error": ")" + std::string(error.what()) + R"("})";
    }
}

std::string AmplitudeRoute(CKolvexDlg& dlg)
{
    dlg.m_effect.mode = 0;
    dlg.m_visualizer.m_nBarStyle = 0;
    dlg.m_visualizer.m_bActive = true;
    dlg.m_bLightingActive = false;
    return BuildAmplitudeJson(dlg.m_nAmplitudeReading);
}

std::string HardwareRoute(CKolvexDlg& dlg)
{
    std::string body = dlg.BuildHardwareJson();
    return body.empty() ? kEmptyReply : body;
}

}  // namespace

std::string DispatchRequest(CKolvexDlg& dlg, const std::string& request)
{
    if (Contains(request, "GET /api/keyboard/layout/base64")) {
        std::string body = Base64LayoutRoute(dlg, request);
        dlg.m_nEffectRunning = 0;
        return body;
    }
    if (Contains(request, "GET /api/keyboard/musiceffect/close")) {
        dlg.m_nEffectRunning = 0;
        return kCloseReply;
    }
    if (Contains(request, "GET /api/hardware/info")) {
        return HardwareRoute(dlg);
    }
    if (Contains(request, "GET /api/keyboard/musiceffect/layout")) {
        std::string body = LayoutRoute(dlg, request);
        dlg.m_nEffectRunning = 0;
        return body;
    }

    // Every request from here on counts as the host being alive.
    dlg.m_nEffectRunning = 1;
    dlg.m_lastRequestTick = TickCount64();

    if (Contains(request, "GET /api/keyboard/musiceffect")) {
        return EffectRoute(dlg, request);
    }
    if (Contains(request, "GET /api/audio/amplitude")) {
        return AmplitudeRoute(dlg);
    }
    return kInvalidReply;
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
