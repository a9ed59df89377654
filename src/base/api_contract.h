#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// What the daemon's HTTP API and its front-ends (tonvik-host, the Windows
// launcher, the web console) agree on. The console keeps its own copy in
// web/contract.js; a test holds the two equal.
namespace api_contract {

// The daemon listens on the first free port of this range; a front-end finds
// it by asking each in turn.
constexpr uint16_t kFirstApiPort = 9191;
constexpr uint16_t kLastApiPort = 9199;

// The most bytes of one request the daemon reads; the rest is never looked at,
// so a layout sent in the request target must fit in it with the headers.
constexpr size_t kRequestCap = 131071;

// The paths of the daemon's routes, each reached by a GET. A longer path that
// begins with one (a query behind it, say) is that route.
constexpr char kBase64LayoutPath[] = "/api/keyboard/layout/base64";
constexpr char kClosePath[] = "/api/keyboard/musiceffect/close";
constexpr char kHardwarePath[] = "/api/hardware/info";
// Read-only: what the daemon has found (keyboard, sound, rest, version).
constexpr char kStatusPath[] = "/api/status";
constexpr char kLayoutPath[] = "/api/keyboard/musiceffect/layout";
constexpr char kEffectPath[] = "/api/keyboard/musiceffect";
constexpr char kAmplitudePath[] = "/api/audio/amplitude";

// A colour style fills the spectrum picture: the bars' (the effect's mode)
// and the background's alike. Its number is what the effect route takes; its
// name is what the console shows; animated styles are those whose picture
// moves with the animation hue, so only they change while the sound is silent.
struct ColourStyle {
    int number;
    const char* name;
    bool animated;
};

// Every colour style, numbered from 0 without a gap.
constexpr ColourStyle kColourStyles[] = {
    {0, "Black (off)", false},
    {1, "Gradient red–yellow–green", false},
    {2, "Gradient red to magenta", false},
    {3, "Gradient magenta to red", false},
    {4, "Hue wheel around the middle", true},
    {5, "Cycling solid colour", true},
    {6, "White", false},
    {7, "Red", false},
    {8, "Orange", false},
    {9, "Yellow", false},
    {10, "Blue", false},
    {11, "Green", false},
    {12, "Cyan", false},
    {13, "Unchanged picture", false},
    {14, "Violet", false},
    {15, "Gradient green–white–red", false},
    {16, "Gradient blue–cyan–white", false},
    {17, "Gradient red–white–blue", false},
    {18, "Moving sine rainbow", true},
    {19, "Moving hue sweep", true},
    {20, "Hue wheel from the bottom", true},
    {21, "Cycling rainbow colour", true},
};

constexpr bool NumberedWithoutGap(const ColourStyle* styles, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (styles[i].number != static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(NumberedWithoutGap(kColourStyles, std::size(kColourStyles)), "a colour style's number is its row");

constexpr int kFirstColourStyle = kColourStyles[0].number;
constexpr int kLastColourStyle = kColourStyles[std::size(kColourStyles) - 1].number;

// Effect modes: a colour style of the spectrum bars, except kRippleMode,
// which is the ripple; kScreenMode lights the keys with the screen's colours.
constexpr int kRippleMode = 13;
constexpr int kScreenMode = 100;

// The effect the daemon sets by itself when it starts, in the order of the
// effect route's five parameters.
struct StartupEffectValues {
    int mode;
    int amplitude;  // the sample gain is amplitude x 20
    int backMode;
    int backModeBrightness;
    int screenToDevice;
};
constexpr StartupEffectValues kStartupEffectValues{19, 60, 0, 100, 0};

}  // namespace api_contract
