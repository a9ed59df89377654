#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

// NVIDIA's management library (NVML), loaded at run time when the driver has
// installed it; never a build dependency. Used on the polling thread only.
class Nvml {
public:
    struct Device {
        std::string name;     ///< "NVIDIA GeForce RTX 3060"
        std::string pciSlot;  ///< "0000:01:00.0", as sysfs writes it; empty when unknown
    };

    // The library by name (or path), initialised; null when it is absent, lacks
    // an entry point or does not initialise.
    static std::unique_ptr<Nvml> Load(const std::string& library);
    ~Nvml();
    Nvml(const Nvml&) = delete;
    Nvml& operator=(const Nvml&) = delete;

    std::vector<Device> Devices();
    std::optional<double> Temperature(unsigned index);
    std::optional<double> Utilisation(unsigned index);

    struct Api;

private:
    explicit Nvml(std::unique_ptr<Api> api);
    std::unique_ptr<Api> m_api;
};

// A PCI address in sysfs form ("0000:01:00.0") from any domain width
// ("00000000:01:00.0"); empty when it is not one.
std::string CanonicalPciSlot(const std::string& address);
