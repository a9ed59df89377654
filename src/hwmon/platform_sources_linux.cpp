#include "hwmon/kernel_sources.h"
#include "hwmon/platform_sources.h"

HardwareSources OpenPlatformHardwareSources()
{
    return OpenKernelSources({});
}
