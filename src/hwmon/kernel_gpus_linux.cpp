#include "hwmon/kernel_gpus.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace {

constexpr int64_t kDisplayClass = 0x03;
constexpr int64_t kVendorNvidia = 0x10de;
constexpr int64_t kVendorAmd = 0x1002;
constexpr int64_t kVendorIntel = 0x8086;

// Where distributions keep the PCI ID database.
constexpr const char* kPciIdFiles[] = {"usr/share/misc/pci.ids", "usr/share/hwdata/pci.ids"};

// Names for devices the database does not know; each says "Graphics" or
// "GPU", and only NVIDIA's is a discrete name.
std::string VendorName(int64_t vendor)
{
    switch (vendor) {
    case kVendorNvidia:
        return "NVIDIA GPU";
    case kVendorAmd:
        return "AMD Radeon Graphics";
    case kVendorIntel:
        return "Intel Graphics";
    default:
        return "Graphics";
    }
}

bool IsHexId(const std::string& text, size_t at, int64_t id)
{
    if (text.size() < at + 6 || text.compare(at + 4, 2, "  ") != 0) {
        return false;
    }
    int64_t value = 0;
    const char* digits = text.data() + at;
    const auto [end, error] = std::from_chars(digits, digits + 4, value, 16);
    return error == std::errc{} && end == digits + 4 && value == id;
}

// "<vendor name> <device name>" from a pci.ids file: vendor lines start in the
// first column, their devices follow indented by one tab.
std::optional<std::string> LookUpPciIds(std::istream& in, int64_t vendor, int64_t device)
{
    std::string vendorName;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] != '\t') {
            if (!vendorName.empty()) {
                return std::nullopt;  // past the vendor's devices
            }
            if (IsHexId(line, 0, vendor)) {
                vendorName = line.substr(6);
            }
        } else if (!vendorName.empty() && line.size() > 1 && line[1] != '\t' && IsHexId(line, 1, device)) {
            return vendorName + " " + line.substr(7);
        }
    }
    return std::nullopt;
}

std::string PciSlotOf(const KernelTree& tree, const std::string& deviceDir)
{
    std::istringstream uevent(tree.ReadText(deviceDir + "/uevent", 64 * 1024).value_or(""));
    for (std::string line; std::getline(uevent, line);) {
        if (line.rfind("PCI_SLOT_NAME=", 0) == 0) {
            return CanonicalPciSlot(line.substr(14));
        }
    }
    return {};
}

std::string GpuTemperatureLabel(const std::string& label)
{
    if (label.empty() || label == "edge" || label == "pkg" || label == "gpu") {
        return "GPU Temperature";
    }
    if (label == "junction" || label == "hotspot") {
        return "GPU Hot Spot Temperature";
    }
    if (label == "mem" || label == "vram") {
        return "GPU Memory Temperature";
    }
    return "GPU " + label;
}

}  // namespace

std::vector<KernelGpu> KernelGpus::Enumerate()
{
    struct Card {
        KernelGpu gpu;
        std::string slot;
        bool bootVga = false;
    };
    std::vector<Card> cards;
    for (const std::string& entry : m_tree.List("sys/class/drm")) {
        const auto number = TrailingNumber(entry);
        if (!number || entry != "card" + std::to_string(*number)) {
            continue;  // connectors and render nodes
        }
        const std::string deviceDir = "sys/class/drm/" + entry + "/device";
        const auto pciClass = m_tree.ReadNumber(deviceDir + "/class");
        if (!pciClass || (*pciClass >> 16) != kDisplayClass) {
            continue;
        }
        Card card;
        card.gpu.deviceDir = deviceDir;
        card.slot = PciSlotOf(m_tree, deviceDir);
        card.bootVga = m_tree.ReadNumber(deviceDir + "/boot_vga").value_or(0) == 1;
        const int64_t vendor = m_tree.ReadNumber(deviceDir + "/vendor").value_or(0);
        card.gpu.name = m_tree.ReadLine(deviceDir + "/product_name").value_or("");
        if (card.gpu.name.empty()) {
            card.gpu.name = PciName(vendor, m_tree.ReadNumber(deviceDir + "/device").value_or(0));
        }
        cards.push_back(std::move(card));
    }
    std::stable_partition(cards.begin(), cards.end(), [](const Card& card) { return card.bootVga; });

    std::vector<KernelGpu> gpus;
    std::vector<Nvml::Device> nvidia = m_nvml ? m_nvml->Devices() : std::vector<Nvml::Device>{};
    std::vector<bool> matched(nvidia.size(), false);
    for (Card& card : cards) {
        for (size_t i = 0; i < nvidia.size(); ++i) {
            if (!matched[i] && !card.slot.empty() && nvidia[i].pciSlot == card.slot) {
                matched[i] = true;
                card.gpu.name = nvidia[i].name;
                card.gpu.nvmlIndex = static_cast<unsigned>(i);
            }
        }
        gpus.push_back(std::move(card.gpu));
    }
    for (size_t i = 0; i < nvidia.size(); ++i) {
        if (!matched[i]) {
            gpus.push_back({nvidia[i].name, {}, static_cast<unsigned>(i)});
        }
    }
    return gpus;
}

std::vector<HwmonTemperature> KernelGpus::Temperatures(const KernelGpu& gpu)
{
    std::vector<HwmonTemperature> temperatures;
    if (gpu.nvmlIndex) {
        if (const auto celsius = m_nvml->Temperature(*gpu.nvmlIndex)) {
            temperatures.push_back({"GPU Temperature", *celsius});
        }
        return temperatures;
    }
    if (gpu.deviceDir.empty()) {
        return temperatures;
    }
    for (const std::string& hwmon : m_tree.List(gpu.deviceDir + "/hwmon")) {
        for (HwmonTemperature& t : ReadHwmonTemperatures(m_tree, gpu.deviceDir + "/hwmon/" + hwmon)) {
            temperatures.push_back({GpuTemperatureLabel(t.label), t.celsius});
        }
    }
    return temperatures;
}

std::optional<double> KernelGpus::Load(const KernelGpu& gpu)
{
    if (gpu.nvmlIndex) {
        return m_nvml->Utilisation(*gpu.nvmlIndex);
    }
    if (gpu.deviceDir.empty()) {
        return std::nullopt;
    }
    const auto busy = m_tree.ReadNumber(gpu.deviceDir + "/gpu_busy_percent");
    if (!busy) {
        return std::nullopt;
    }
    return static_cast<double>(*busy);
}

std::string KernelGpus::PciName(int64_t vendor, int64_t device)
{
    const auto key = std::pair(vendor, device);
    if (const auto cached = m_pciNames.find(key); cached != m_pciNames.end()) {
        return cached->second;
    }
    std::string name = VendorName(vendor);
    for (const char* file : kPciIdFiles) {
        std::ifstream in(m_tree.Path(file));
        if (!in) {
            continue;
        }
        if (const auto found = LookUpPciIds(in, vendor, device)) {
            name = *found;
        }
        break;
    }
    m_pciNames.emplace(key, name);
    return name;
}
