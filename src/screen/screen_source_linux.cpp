// The choice of Linux's screen sampler, made each time sampling starts (at
// start-up in screen mode, and whenever screen mode is switched on), and
// logged then.
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "screen/screen_samplers_linux.h"
#include "screen/screen_source.h"
#include "screen/screencast_portal.h"

namespace {

// A user unit that the session did not hand XDG_SESSION_TYPE may still have
// been given WAYLAND_DISPLAY.
std::string SessionType()
{
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type != nullptr) {
        return type;
    }
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland != nullptr && wayland[0] != '\0' ? "wayland" : "";
}

}  // namespace

std::unique_ptr<ScreenSampler> OpenScreenSampler()
{
    const std::string sessionType = SessionType();
    if (ChooseScreenSource(sessionType, ScreenCastPortal::OffersMonitors) == ScreenSource::Portal) {
        LogInfo("screen colours: a Wayland session; asking the desktop's ScreenCast portal for the screen");
        return OpenPortalScreenSampler();
    }
    if (sessionType == "wayland") {
        LogWarning("screen colours: a Wayland session without a ScreenCast portal that offers monitors; reading "
                   "the X display, where native Wayland windows show as black");
    }
    return OpenX11ScreenSampler();
}
