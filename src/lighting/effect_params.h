#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/api_contract.h"
#include "base/clock.h"
#include "base/relaxed.h"

class Visualizer;
class ScreenLight;
struct KeyGrid;

constexpr int kRippleMode = api_contract::kRippleMode;
constexpr int kScreenMode = api_contract::kScreenMode;

// The five integers with which the host chooses and tunes the music effect.
// The lighting thread reads them every frame while the API thread writes them.
struct EffectParams {
    Relaxed<int32_t> mode{1};
    Relaxed<int32_t> amplitude{100};
    Relaxed<int32_t> backMode{0};
    Relaxed<int32_t> backModeBrightness{100};
    Relaxed<int32_t> screenToDevice{0};
};

// The effect the daemon starts with, until a host chooses one: bar style 19 at
// amplitude 60 over background style 0 at full brightness, screen colours
// kept from the keyboard.
inline constexpr EffectParams kStartupEffect{
    api_contract::kStartupEffectValues.mode, api_contract::kStartupEffectValues.amplitude,
    api_contract::kStartupEffectValues.backMode, api_contract::kStartupEffectValues.backModeBrightness,
    api_contract::kStartupEffectValues.screenToDevice};

// Decimal text to int the way std::stoi reads it (leading blanks, a sign,
// digits, anything after ignored), raising std::invalid_argument with
// "invalid stoi argument" or std::out_of_range with "stoi argument out of range"
// whatever the C++ library's own messages are.
int32_t ParseStoiField(const std::string& field);

// Waits the given milliseconds: SleepMs in the daemon; a harness that must not
// sleep hands in one that returns at once.
using PauseFn = void (*)(uint32_t ms);

// Pushes the parameters into the visualizer and makes its analysis active:
// the mode is the bar style (none for the ripple, which draws its own rings),
// the gain is 20 times the amplitude, the background style and brightness as
// they are.
void PushEffectToVisualizer(const EffectParams& params, Visualizer& visualizer);

// Converts the first five fields into the record, each stored right after its
// own conversion; then pauses the visualizer for 150 ms and pushes the new
// values into it (PushEffectToVisualizer). A failed conversion ends the call with its error, leaving
// the visualizer untouched. Fewer than five fields: nothing happens.
void ApplyEffectParams(const std::vector<std::string>& fields, EffectParams& params, Visualizer& visualizer,
                       PauseFn pause = SleepMs);

// The effect-state reply: parameters and the colour of every reported key; the
// empty string when the grid has fewer than 2 active rows or columns. Also
// makes the visualizer or the screen sampler the working one, by mode.
std::string BuildEffectJson(const KeyGrid& grid, const EffectParams& params, Visualizer& visualizer,
                            ScreenLight& screen);

// "#RRGGBB" of a 0x00BBGGRR colour.
std::string FormatColor(uint32_t color);
