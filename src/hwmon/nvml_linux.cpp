#include "hwmon/nvml.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace {

// The few NVML declarations used here, as the library's C interface has them.
using nvmlReturn_t = int;
using nvmlDevice_t = struct nvmlDevice_st*;
constexpr nvmlReturn_t NVML_SUCCESS = 0;
constexpr int NVML_TEMPERATURE_GPU = 0;
constexpr unsigned kNameBytes = 96;

struct nvmlUtilization_t {
    unsigned int gpu;
    unsigned int memory;
};

struct nvmlPciInfo_t {
    char busIdLegacy[16];
    unsigned int domain;
    unsigned int bus;
    unsigned int device;
    unsigned int pciDeviceId;
    unsigned int pciSubSystemId;
    char busId[32];
};

// Text from a fixed field that the library may not have ended with a NUL.
std::string FieldText(const char* field, size_t size)
{
    const void* nul = std::memchr(field, 0, size);
    return {field, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : size};
}

}  // namespace

struct Nvml::Api {
    void* library = nullptr;
    nvmlReturn_t (*init)() = nullptr;
    nvmlReturn_t (*shutdown)() = nullptr;
    nvmlReturn_t (*count)(unsigned*) = nullptr;
    nvmlReturn_t (*handle)(unsigned, nvmlDevice_t*) = nullptr;
    nvmlReturn_t (*name)(nvmlDevice_t, char*, unsigned) = nullptr;
    nvmlReturn_t (*pciInfo)(nvmlDevice_t, nvmlPciInfo_t*) = nullptr;
    nvmlReturn_t (*temperature)(nvmlDevice_t, int, unsigned*) = nullptr;
    nvmlReturn_t (*utilisation)(nvmlDevice_t, nvmlUtilization_t*) = nullptr;

    template <typename F>
    bool Resolve(F& function, const char* symbol)
    {
        function = reinterpret_cast<F>(::dlsym(library, symbol));
        return function != nullptr;
    }
    std::optional<nvmlDevice_t> Handle(unsigned index) const
    {
        nvmlDevice_t device = nullptr;
        if (handle(index, &device) != NVML_SUCCESS) {
            return std::nullopt;
        }
        return device;
    }
};

std::unique_ptr<Nvml> Nvml::Load(const std::string& library)
{
    auto api = std::make_unique<Api>();
    api->library = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (api->library == nullptr) {
        return nullptr;
    }
    const bool resolved = api->Resolve(api->init, "nvmlInit_v2") && api->Resolve(api->shutdown, "nvmlShutdown") &&
                          api->Resolve(api->count, "nvmlDeviceGetCount_v2") &&
                          api->Resolve(api->handle, "nvmlDeviceGetHandleByIndex_v2") &&
                          api->Resolve(api->name, "nvmlDeviceGetName") &&
                          api->Resolve(api->pciInfo, "nvmlDeviceGetPciInfo_v3") &&
                          api->Resolve(api->temperature, "nvmlDeviceGetTemperature") &&
                          api->Resolve(api->utilisation, "nvmlDeviceGetUtilizationRates");
    if (!resolved || api->init() != NVML_SUCCESS) {
        ::dlclose(api->library);
        return nullptr;
    }
    return std::unique_ptr<Nvml>(new Nvml(std::move(api)));
}

Nvml::Nvml(std::unique_ptr<Api> api) : m_api(std::move(api)) {}

Nvml::~Nvml()
{
    m_api->shutdown();
    ::dlclose(m_api->library);
}

std::vector<Nvml::Device> Nvml::Devices()
{
    std::vector<Device> devices;
    unsigned count = 0;
    if (m_api->count(&count) != NVML_SUCCESS) {
        return devices;
    }
    for (unsigned index = 0; index < count && index < 64; ++index) {
        Device device;
        if (const auto handle = m_api->Handle(index)) {
            char name[kNameBytes] = {};
            if (m_api->name(*handle, name, sizeof name) == NVML_SUCCESS) {
                device.name = FieldText(name, sizeof name);
            }
            nvmlPciInfo_t pci{};
            if (m_api->pciInfo(*handle, &pci) == NVML_SUCCESS) {
                device.pciSlot = CanonicalPciSlot(FieldText(pci.busId, sizeof pci.busId));
            }
        }
        if (device.name.empty()) {
            device.name = "NVIDIA GPU";
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

std::optional<double> Nvml::Temperature(unsigned index)
{
    unsigned celsius = 0;
    const auto handle = m_api->Handle(index);
    if (!handle || m_api->temperature(*handle, NVML_TEMPERATURE_GPU, &celsius) != NVML_SUCCESS) {
        return std::nullopt;
    }
    return celsius;
}

std::optional<double> Nvml::Utilisation(unsigned index)
{
    nvmlUtilization_t rates{};
    const auto handle = m_api->Handle(index);
    if (!handle || m_api->utilisation(*handle, &rates) != NVML_SUCCESS) {
        return std::nullopt;
    }
    return rates.gpu;
}

std::string CanonicalPciSlot(const std::string& address)
{
    unsigned domain = 0;
    unsigned bus = 0;
    unsigned device = 0;
    unsigned function = 0;
    int consumed = 0;
    if (std::sscanf(address.c_str(), "%x:%x:%x.%x%n", &domain, &bus, &device, &function, &consumed) != 4 ||
        static_cast<size_t>(consumed) != address.size()) {
        return {};
    }
    char slot[32];
    std::snprintf(slot, sizeof slot, "%04x:%02x:%02x.%x", domain, bus, device, function);
    return slot;
}
