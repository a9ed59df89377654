#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/capture_choice.h"

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
    // there is recorded as soon as it appears; silence until then. A kind of
    // source the system cannot record at all is refused: the reason, with
    // the choice left as it was.
    virtual std::optional<std::string> ChooseSource(const CaptureSource& source) = 0;
    virtual void ChooseDelay(const CaptureDelay& delay) = 0;
    virtual CaptureSource Source() = 0;
    virtual CaptureDelay Delay() = 0;
    // The delay applied now, in milliseconds (for "auto", the last latency read).
    virtual int DelayMs() = 0;

protected:
    ~CaptureSourceChoice() = default;
};
