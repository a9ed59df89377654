#include "json_text.h"

#include <json/reader.h>

#include <memory>
#include <string>

std::optional<Json::Value> ParseJson(std::string_view text)
{
    Json::CharReaderBuilder builder;
    builder["allowComments"] = false;
    builder["stackLimit"] = kMaxJsonDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
            return std::nullopt;
        }
    } catch (const Json::Exception&) {
        return std::nullopt;  // deeper than the limit: JsonCpp throws rather than fails there
    }
    return root;
}

std::optional<Json::Value> ParseJsonObject(std::string_view text)
{
    std::optional<Json::Value> root = ParseJson(text);
    if (root && !root->isObject()) {
        return std::nullopt;
    }
    return root;
}
