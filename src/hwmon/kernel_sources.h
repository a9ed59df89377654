#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "hwmon/sensor_source.h"

// Linux: the hardware sources built from the kernel's own files.
//  - counters: CPU load from /proc/stat (the change between two reads), GPU
//    load from the DRM devices' gpu_busy_percent and from NVML for NVIDIA;
//  - sensors: CPU temperatures from hwmon (k10temp, zenpower, coretemp,
//    cpu_thermal), each GPU with the temperatures of its hwmon or of NVML,
//    and every non-loopback interface of /proc/net/dev with its byte rates
//    between two sensor reads.
// GPUs come from /sys/class/drm (display-class PCI devices, the boot VGA
// device first) and NVML; their names from NVML, amdgpu's product name or the
// PCI ID database decide which is discrete.
struct KernelSourceOptions {
    std::string root = "/";                         ///< every path is read below this directory
    std::string nvmlLibrary = "libnvidia-ml.so.1";  ///< loaded at run time when present
    std::function<uint64_t()> nowMs;                ///< for the network rates; empty: up-time
};

// Opens when <root>/proc/stat can be read; a missing or unreadable file
// otherwise just leaves its readings out.
HardwareSources OpenKernelSources(const KernelSourceOptions& options);
