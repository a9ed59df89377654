#pragma once

#include <string>
#include <string_view>

#include "audio/capture_source.h"

// The reply bodies of the sources route (what can be recorded) and of the
// source route (switch the source, the delay or both). Neither waits for the
// sound server: the listing is what the capture last heard from it. A null
// choice is a capture that offers none, and both replies say so.
std::string AudioSourcesReply(CaptureSourceChoice* choice);

// The request line's "id" (percent-encoded) and "delay" query values, either
// alone; an id or delay that does not parse, or a source the capture refuses,
// is an error and changes nothing.
std::string AudioSourceReply(CaptureSourceChoice* choice, std::string_view requestLine);
