#pragma once

#include <optional>
#include <string>
#include <vector>

#include "api/api_targets.h"

// Runs the route that the request text names and returns the JSON reply body.
// Routes are found by plain substring search over the whole request, in a
// fixed order; anything unrecognised gets the invalid-request body.
std::string DispatchRequest(const ApiTargets& api, const std::string& request);

// The value of "data=" or "layout=": up to the next "&", or up to the blank
// before a following "HTTP", or to the end.
std::optional<std::string> ExtractQueryValue(const std::string& request, const std::string& key);

// The "param=" value, up to the next blank, split at every "&".
std::optional<std::vector<std::string>> ExtractParamFields(const std::string& request);

std::string BuildAmplitudeJson(int amplitude);
