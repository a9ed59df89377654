// A stand-in for NVIDIA's management library, built under its soname and
// loaded by the daemon's own dlopen. Its devices come from TONVIK_FAKE_NVML,
// read at initialisation: "name|bus id|temperature|utilisation" entries
// separated by ";". Like a careless library, it fills a name buffer to the
// last byte, without a NUL, when the name does not fit.
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct FakeDevice {
    std::string name;
    std::string busId;
    unsigned temperature = 0;
    unsigned utilisation = 0;
};

std::vector<FakeDevice> g_devices;

FakeDevice* Find(void* handle)
{
    const auto index = reinterpret_cast<uintptr_t>(handle);
    return index >= 1 && index <= g_devices.size() ? &g_devices[index - 1] : nullptr;
}

constexpr int kSuccess = 0;
constexpr int kInvalidArgument = 2;

}  // namespace

extern "C" {

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

__attribute__((visibility("default"))) int nvmlInit_v2()
{
    g_devices.clear();
    const char* script = std::getenv("TONVIK_FAKE_NVML");
    std::istringstream entries(script != nullptr ? script : "");
    for (std::string entry; std::getline(entries, entry, ';');) {
        std::istringstream fields(entry);
        FakeDevice device;
        std::string temperature;
        std::string utilisation;
        std::getline(fields, device.name, '|');
        std::getline(fields, device.busId, '|');
        std::getline(fields, temperature, '|');
        std::getline(fields, utilisation, '|');
        device.temperature = static_cast<unsigned>(std::strtoul(temperature.c_str(), nullptr, 10));
        device.utilisation = static_cast<unsigned>(std::strtoul(utilisation.c_str(), nullptr, 10));
        g_devices.push_back(device);
    }
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlShutdown()
{
    g_devices.clear();
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetCount_v2(unsigned int* count)
{
    *count = static_cast<unsigned>(g_devices.size());
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetHandleByIndex_v2(unsigned int index, void** device)
{
    if (index >= g_devices.size()) {
        return kInvalidArgument;
    }
    *device = reinterpret_cast<void*>(uintptr_t{index} + 1);
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetName(void* handle, char* name, unsigned int length)
{
    const FakeDevice* device = Find(handle);
    if (device == nullptr) {
        return kInvalidArgument;
    }
    std::memcpy(name, device->name.c_str(), std::min<size_t>(device->name.size() + 1, length));
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetPciInfo_v3(void* handle, nvmlPciInfo_t* pci)
{
    const FakeDevice* device = Find(handle);
    if (device == nullptr) {
        return kInvalidArgument;
    }
    *pci = {};
    std::strncpy(pci->busId, device->busId.c_str(), sizeof pci->busId - 1);
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetTemperature(void* handle, int sensor, unsigned int* celsius)
{
    const FakeDevice* device = Find(handle);
    if (device == nullptr || sensor != 0) {
        return kInvalidArgument;
    }
    *celsius = device->temperature;
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetUtilizationRates(void* handle, nvmlUtilization_t* rates)
{
    const FakeDevice* device = Find(handle);
    if (device == nullptr) {
        return kInvalidArgument;
    }
    rates->gpu = device->utilisation;
    rates->memory = 0;
    return kSuccess;
}

}  // extern "C"
