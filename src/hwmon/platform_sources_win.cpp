#include "hwmon/pdh_counters.h"
#include "hwmon/platform_sources.h"
#include "hwmon/sensor_library.h"

HardwareSources OpenPlatformHardwareSources()
{
    HardwareSources sources;
    sources.sensors = OpenSensorLibrary(sources.description);
    if (sources.sensors) {
        sources.counters = OpenPdhCounters();
    }
    return sources;
}
