#include "hwmon/utilisation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace {

bool ContainsAny(std::string_view text, std::initializer_list<std::string_view> needles)
{
    return std::any_of(needles.begin(), needles.end(),
                       [text](std::string_view needle) { return text.find(needle) != std::string_view::npos; });
}

// Consumes the literal at the front of the text.
bool Take(std::wstring_view& text, std::wstring_view literal)
{
    if (text.substr(0, literal.size()) != literal) {
        return false;
    }
    text.remove_prefix(literal.size());
    return true;
}

// Consumes one or more digits of the base at the front of the text; none when
// there is no digit or the number does not fit in 32 bits.
std::optional<uint32_t> TakeNumber(std::wstring_view& text, uint32_t base)
{
    uint64_t number = 0;
    size_t digits = 0;
    for (; digits < text.size(); ++digits) {
        const wchar_t c = text[digits];
        uint32_t digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<uint32_t>(c - L'0');
        } else if (base == 16 && c >= L'a' && c <= L'f') {
            digit = static_cast<uint32_t>(c - L'a' + 10);
        } else if (base == 16 && c >= L'A' && c <= L'F') {
            digit = static_cast<uint32_t>(c - L'A' + 10);
        } else {
            break;
        }
        number = number * base + digit;
        if (number > std::numeric_limits<uint32_t>::max()) {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    text.remove_prefix(digits);
    return static_cast<uint32_t>(number);
}

}  // namespace

bool IsDiscreteGpuName(std::string_view name)
{
    std::string lower(name);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (ContainsAny(lower, {"nvidia", "geforce", " rtx", " gtx"})) {
        return true;
    }
    if (ContainsAny(lower, {"amd", "radeon"}) &&
        ContainsAny(lower, {" rx ", " r9 ", " r7 ", " hd ", "radeon vii", "radeon pro w", "firepro"})) {
        return true;
    }
    return ContainsAny(lower, {"arc(tm) a", "arc(tm) b", "arc a", "arc b"});
}

std::optional<float> AcceptedPercent(uint32_t status, double value)
{
    if ((status != 0 && status != 1) || !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    return static_cast<float>(std::min(value, 100.0));
}

bool StoreCpuUsage(HardwareSnapshot& out, uint32_t status, double value)
{
    const auto usage = AcceptedPercent(status, value);
    if (!usage) {
        return false;
    }
    out.cpuUsage = *usage;
    out.cpuUsageValid = true;
    return true;
}

std::optional<GpuEngineKey> ParseEngineInstance(std::wstring_view instance)
{
    const size_t start = instance.find(L"_luid_0x");
    if (start == std::wstring_view::npos) {
        return std::nullopt;
    }
    std::wstring_view text = instance.substr(start);
    Take(text, L"_luid_0x");
    const auto high = TakeNumber(text, 16);
    if (!high || !Take(text, L"_0x")) {
        return std::nullopt;
    }
    const auto low = TakeNumber(text, 16);
    if (!low || !Take(text, L"_phys_")) {
        return std::nullopt;
    }
    const auto physical = TakeNumber(text, 10);
    if (!physical || !Take(text, L"_eng_")) {
        return std::nullopt;
    }
    const auto engine = TakeNumber(text, 10);
    if (!engine) {
        return std::nullopt;
    }
    return GpuEngineKey{uint64_t{*high} << 32 | *low, *physical, *engine};
}

std::map<uint64_t, float> GpuEngineLoads::PerAdapter() const
{
    std::map<uint64_t, float> adapters;
    for (const auto& [key, sum] : m_engines) {
        const float load = static_cast<float>(std::clamp(sum, 0.0, 100.0));
        const auto [entry, added] = adapters.emplace(key.adapter, load);
        if (!added && entry->second < load) {
            entry->second = load;
        }
    }
    return adapters;
}

bool ApplyGpuLoads(const std::vector<GpuAdapter>& adapters, const std::map<uint64_t, float>& loads,
                   HardwareSnapshot& out)
{
    const GpuAdapter* discrete = nullptr;
    const GpuAdapter* integrated = nullptr;
    for (const GpuAdapter& adapter : adapters) {
        if (adapter.software) {
            continue;
        }
        const GpuAdapter*& slot = IsDiscreteGpuName(adapter.name) ? discrete : integrated;
        if (slot == nullptr) {
            slot = &adapter;
        }
    }
    bool delivered = false;
    if (discrete != nullptr) {
        if (const auto load = loads.find(discrete->id); load != loads.end()) {
            out.hasDiscreteGpu = true;
            out.discreteGpuUsage = load->second;
            out.discreteGpuUsageValid = true;
            delivered = true;
        }
    }
    if (integrated != nullptr) {
        if (const auto load = loads.find(integrated->id); load != loads.end()) {
            out.hasIntegratedGpu = true;
            out.integratedGpuUsage = load->second;
            out.integratedGpuUsageValid = true;
            delivered = true;
        }
    }
    return delivered;
}
