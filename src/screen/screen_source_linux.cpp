// The choice of Linux's screen sampler, made each time sampling starts (at
// start-up in screen mode, and whenever screen mode is switched on), and
// logged then.
#include <cstdlib>

#include "base/log.h"
#include "screen/screen_samplers_linux.h"
#include "screen/screen_source.h"
#include "screen/screencast_portal.h"

std::unique_ptr<ScreenSampler> OpenScreenSampler()
{
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const std::string sessionType = type != nullptr ? type : "";
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
