#include "hwmon/hardware_snapshot.h"

#include <json/json.h>

std::string HardwareSnapshotJson(const HardwareSnapshot& snapshot)
{
    Json::Value root(Json::objectValue);
    root["cpuTemp"] = static_cast<double>(snapshot.cpuTemp);
    root["cpuUsage"] = static_cast<double>(snapshot.cpuUsage);
    root["cpuUsageValid"] = snapshot.cpuUsageValid;
    if (snapshot.hasDiscreteGpu) {
        root["gpuTemp"] = static_cast<double>(snapshot.discreteGpuTemp);
        root["gpuUsage"] = static_cast<double>(snapshot.discreteGpuUsage);
        root["gpuUsageValid"] = snapshot.discreteGpuUsageValid;
    } else {
        root["gpuTemp"] = static_cast<double>(snapshot.integratedGpuTemp);
        root["gpuUsage"] = static_cast<double>(snapshot.integratedGpuUsage);
        root["gpuUsageValid"] = snapshot.integratedGpuUsageValid;
    }
    root["network_upload"] = static_cast<double>(snapshot.networkUpload);
    root["network_download"] = static_cast<double>(snapshot.networkDownload);

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}
