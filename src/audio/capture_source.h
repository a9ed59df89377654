#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The sound server's latency report turned into the delay: rounded to whole
// milliseconds and capped at kMaxCaptureDelayMs.
int AutomaticDelayMs(uint64_t reportedUsec);

// What can be recorded now, as the sources route lists it.
struct SourceListing {
    struct Output {
        std::string id;           ///< "output:<name>"
        std::string description;  ///< what a person calls it ("Headset")
        bool isDefault = false;
    };
    struct App {
        std::string id;    ///< "app:<name>"
        std::string name;  ///< the application name
        bool playing = false;
    };
    CaptureSource current;
    std::vector<Output> outputs;
    std::vector<App> apps;  ///< each application once, the chosen one even when not playing
};

// The choice of source and delay that a capture offers; every call from any
// thread, returning without waiting for the sound server.
class CaptureSourceChoice {
public:
    // What the server last reported, with the current choice.
    virtual SourceListing ListSources() = 0;
    // Records the source from now on. An output or application that is not
    // there is recorded as soon as it appears; silence until then.
    virtual void ChooseSource(const CaptureSource& source) = 0;
    virtual void ChooseDelay(const CaptureDelay& delay) = 0;
    virtual CaptureSource Source() = 0;
    virtual CaptureDelay Delay() = 0;
    // The delay applied now, in milliseconds (for "auto", the last latency read).
    virtual int DelayMs() = 0;

protected:
    ~CaptureSourceChoice() = default;
};
