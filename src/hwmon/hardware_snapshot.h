#pragma once

#include <string>

// CPU and GPU temperature and load and network rates, as served by the
// hardware route.
struct HardwareSnapshot {
    float cpuTemp = 0;
    float cpuUsage = 0;
    bool cpuUsageValid = false;
    float discreteGpuTemp = 0;
    float discreteGpuUsage = 0;
    float integratedGpuTemp = 0;
    float integratedGpuUsage = 0;
    bool hasDiscreteGpu = false;
    bool hasIntegratedGpu = false;
    bool discreteGpuUsageValid = false;
    bool integratedGpuUsageValid = false;
    float networkUpload = 0;
    float networkDownload = 0;
};

// The hardware JSON of one snapshot: the discrete GPU's figures when one was
// seen, else the integrated one's.
std::string HardwareSnapshotJson(const HardwareSnapshot& snapshot);
