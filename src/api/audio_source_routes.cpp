#include "api/audio_source_routes.h"

#include <json/json.h>

#include <optional>

#include "base/decode.h"

namespace {

const char kNoChoice[] = "this capture records the default output only";
const char kBadId[] = "unknown source id: use default, output:<name> or app:<name>";
const char kBadDelay[] = "delay must be auto or a whole number of milliseconds from 0 to 500";

std::string Compact(const Json::Value& value)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, value);
}

std::string Error(const char* message)
{
    Json::Value reply(Json::objectValue);
    reply["error"] = message;
    return Compact(reply);
}

// The value of one key of the request target's query, percent-decoded; the
// query ends at the blank before the protocol version.
std::optional<std::string> QueryValue(std::string_view requestLine, std::string_view key)
{
    const size_t question = requestLine.find('?');
    if (question == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view query = requestLine.substr(question + 1);
    query = query.substr(0, query.find(' '));
    while (!query.empty()) {
        const size_t ampersand = query.find('&');
        const std::string_view pair = query.substr(0, ampersand);
        if (pair.starts_with(key) && pair.size() > key.size() && pair[key.size()] == '=') {
            return UrlDecode(std::string(pair.substr(key.size() + 1)));
        }
        query = ampersand == std::string_view::npos ? std::string_view() : query.substr(ampersand + 1);
    }
    return std::nullopt;
}

}  // namespace

std::string AudioSourcesReply(CaptureSourceChoice* choice)
{
    if (choice == nullptr) {
        return Error(kNoChoice);
    }
    const SourceListing listing = choice->ListSources();
    Json::Value reply(Json::objectValue);
    reply["current"] = listing.current.Id();
    Json::Value& outputs = reply["outputs"] = Json::Value(Json::arrayValue);
    for (const auto& output : listing.outputs) {
        Json::Value entry(Json::objectValue);
        entry["id"] = output.id;
        entry["name"] = output.description;
        entry["default"] = output.isDefault;
        outputs.append(entry);
    }
    Json::Value& apps = reply["apps"] = Json::Value(Json::arrayValue);
    for (const auto& app : listing.apps) {
        Json::Value entry(Json::objectValue);
        entry["id"] = app.id;
        entry["name"] = app.name;
        entry["playing"] = app.playing;
        apps.append(entry);
    }
    return Compact(reply);
}

std::string AudioSourceReply(CaptureSourceChoice* choice, std::string_view requestLine)
{
    if (choice == nullptr) {
        return Error(kNoChoice);
    }
    std::optional<CaptureSource> source;
    if (const std::optional<std::string> id = QueryValue(requestLine, "id")) {
        source = ParseCaptureSource(*id);
        if (!source) {
            return Error(kBadId);
        }
    }
    std::optional<CaptureDelay> delay;
    if (const std::optional<std::string> text = QueryValue(requestLine, "delay")) {
        delay = ParseCaptureDelay(*text);
        if (!delay) {
            return Error(kBadDelay);
        }
    }
    if (source) {
        if (const std::optional<std::string> refusal = choice->ChooseSource(*source)) {
            return Error(refusal->c_str());
        }
    }
    if (delay) {
        choice->ChooseDelay(*delay);
    }
    Json::Value reply(Json::objectValue);
    reply["current"] = choice->Source().Id();
    reply["delay"] = choice->Delay().Text();
    reply["delayMs"] = choice->DelayMs();
    return Compact(reply);
}
