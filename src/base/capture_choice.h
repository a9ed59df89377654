#pragma once

#include <optional>
#include <string>
#include <string_view>

// The choice of what the daemon's capture records and how late, as the API,
// host.conf and the console write it: the daemon and its front-ends share it.

// What the capture records, by the ids the API and host.conf use:
// "default" (the default output's monitor, following the default),
// "output:<name>" (one output's monitor by its stable name, whatever the
// default is) or "app:<name>" (one application's own playback, by the name
// the sound server reports for it). Names match exactly, bytes as they are.
struct CaptureSource {
    enum class Kind { Default, Output, App };

    Kind kind = Kind::Default;
    std::string name;  ///< the output's or application's name; empty for Default

    std::string Id() const;
    bool operator==(const CaptureSource&) const = default;
};

// The source an id names; nothing for an id with no known prefix, an empty
// name, or "default" with anything behind it.
std::optional<CaptureSource> ParseCaptureSource(std::string_view id);

// How late the analysis reads the sound, so that the lights come with what is
// heard rather than with what is sent to the output: a fixed number of
// milliseconds, or "auto", the recorded output's own latency as the sound
// server reports it. Either is at most kMaxCaptureDelayMs.
constexpr int kMaxCaptureDelayMs = 500;
struct CaptureDelay {
    bool automatic = true;
    int fixedMs = 0;  ///< the delay when not automatic

    std::string Text() const;  // "auto" or the milliseconds
    bool operator==(const CaptureDelay&) const = default;
};

// "auto" or a whole number of milliseconds from 0 to kMaxCaptureDelayMs, in
// plain decimal digits; nothing for anything else.
std::optional<CaptureDelay> ParseCaptureDelay(std::string_view text);
