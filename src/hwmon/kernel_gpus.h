#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hwmon/kernel_tree.h"
#include "hwmon/nvml.h"

// A GPU as Linux shows it: a display-class PCI device of DRM, or an NVIDIA
// device that only NVML knows.
struct KernelGpu {
    std::string name;
    std::string deviceDir;                ///< its PCI device below the root; empty when only NVML knows it
    std::optional<unsigned> nvmlIndex;    ///< set when NVML reports it
};

// The GPUs of the machine, shared by the sensor source (temperatures, names)
// and the counters (loads); used on the polling thread only.
class KernelGpus {
public:
    KernelGpus(KernelTree tree, std::unique_ptr<Nvml> nvml) : m_tree(std::move(tree)), m_nvml(std::move(nvml)) {}

    // The boot VGA device first, then DRM's other cards in number order, then
    // NVIDIA devices that DRM does not list.
    std::vector<KernelGpu> Enumerate();
    // In the sensor library's words: "GPU Temperature", "GPU Hot Spot
    // Temperature", "GPU Memory Temperature", ...
    std::vector<HwmonTemperature> Temperatures(const KernelGpu& gpu);
    // Percent busy: NVML's GPU utilisation, or amdgpu's gpu_busy_percent.
    std::optional<double> Load(const KernelGpu& gpu);
    bool HasNvml() const { return m_nvml != nullptr; }

private:
    std::string PciName(int64_t vendor, int64_t device);

    KernelTree m_tree;
    std::unique_ptr<Nvml> m_nvml;
    std::map<std::pair<int64_t, int64_t>, std::string> m_pciNames;  ///< database look-ups, misses included
};
