#include "hwmon/platform_sources.h"

HardwareSources OpenPlatformHardwareSources()
{
    return {nullptr, nullptr, "no sensor source is built for this platform yet"};
}
