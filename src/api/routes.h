#pragma once

#include <optional>
#include <string>
#include <vector>

#include "api/api_targets.h"

// Runs the route that the request line names and returns the JSON reply body.
// The request line must begin with a route's method and path ("GET /api/...");
// routes are tried in a fixed order, so a longer path that begins with a
// route's path goes to that route; anything unrecognised gets the
// invalid-request body. Parameters are read from the request line only.
std::string DispatchRequest(const ApiTargets& api, const std::string& request);

// The value of "data=" or "layout=": up to the next "&", or up to the blank
// before a following "HTTP", or to the end.
std::optional<std::string> ExtractQueryValue(const std::string& request, const std::string& key);

// The "param=" value, up to the next blank, split at every "&".
std::optional<std::vector<std::string>> ExtractParamFields(const std::string& request);

std::string BuildAmplitudeJson(int amplitude);

// The status route's reply: {"keyboard": {"found": .., "vendorId": "320F",
// "productId": "5055", "accessDenied": ..}, "sound": {"connected": ..,
// "recording": "..", "playing": ..}, "resting": .., "version": ".."}. Found
// means present, opened or not; accessDenied that it is present but may not
// be opened.
std::string BuildStatusJson(const DaemonStatus& status);
