#include "screen/screen_source.h"

#include <algorithm>

ScreenSource ChooseScreenSource(std::string_view sessionType, const std::function<bool()>& portalOffersMonitors)
{
    return sessionType == "wayland" && portalOffersMonitors() ? ScreenSource::Portal : ScreenSource::X11;
}

std::chrono::seconds RetrySchedule::Next()
{
    const std::chrono::seconds wait = m_next;
    m_next = std::min(m_next * 2, kLongest);
    return wait;
}
