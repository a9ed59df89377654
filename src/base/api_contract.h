#pragma once

#include <cstddef>
#include <cstdint>

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
constexpr char kLayoutPath[] = "/api/keyboard/musiceffect/layout";
constexpr char kEffectPath[] = "/api/keyboard/musiceffect";
constexpr char kAmplitudePath[] = "/api/audio/amplitude";

// Effect modes: a colour style of the spectrum bars (kFirstColourStyle to
// kLastColourStyle), except kRippleMode, which is the ripple; kScreenMode
// lights the keys with the screen's colours. The background takes the same
// colour styles.
constexpr int kFirstColourStyle = 0;
constexpr int kLastColourStyle = 21;
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
