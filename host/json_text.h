#pragma once

#include <json/value.h>

#include <optional>
#include <string_view>

// Every JSON text the host reads comes from outside it: a browser's request,
// whatever answers on the daemon's ports, a file in the user's directory.
// No document the host deals in nests deeper than a few levels; past
// kMaxJsonDepth one is refused instead of reaching JsonCpp's own limit, where
// it throws.
constexpr int kMaxJsonDepth = 64;

// The value the text holds (comments refused); std::nullopt for anything that
// is not one whole JSON value, nests deeper than kMaxJsonDepth, or is not an
// object when an object is asked for. Never throws.
std::optional<Json::Value> ParseJson(std::string_view text);
std::optional<Json::Value> ParseJsonObject(std::string_view text);
