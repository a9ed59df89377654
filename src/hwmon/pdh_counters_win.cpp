// PDH and DXGI, called on the polling thread under the monitor's lock.
#include <windows.h>
#include <dxgi.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <cwchar>
#include <string>
#include <vector>

#include "hwmon/pdh_counters.h"
#include "hwmon/utilisation.h"

namespace {

constexpr wchar_t kCpuCounter[] = L"\\Processor Information(_Total)\\% Processor Utility";
constexpr wchar_t kGpuCounter[] = L"\\GPU Engine(*)\\Utilization Percentage";
// Values above 100 are delivered, and limited here.
constexpr DWORD kFormat = PDH_FMT_DOUBLE | PDH_FMT_NOCAP100;

// One query with one counter. A utilisation needs two samples, so creating it
// takes the first.
class CounterQuery {
public:
    ~CounterQuery() { Close(); }

    bool Open() const { return m_query != nullptr; }
    HCOUNTER Counter() const { return m_counter; }

    void Create(const wchar_t* path)
    {
        Close();
        if (PdhOpenQueryW(nullptr, 0, &m_query) != ERROR_SUCCESS) {
            m_query = nullptr;
            return;
        }
        if (PdhAddEnglishCounterW(m_query, path, 0, &m_counter) != ERROR_SUCCESS ||
            PdhCollectQueryData(m_query) != ERROR_SUCCESS) {
            Close();
        }
    }
    // A failed collection drops the query; the next read creates it again.
    bool Collect()
    {
        if (PdhCollectQueryData(m_query) == ERROR_SUCCESS) {
            return true;
        }
        Close();
        return false;
    }
    void Close()
    {
        if (m_query != nullptr) {
            PdhCloseQuery(m_query);
        }
        m_query = nullptr;
        m_counter = nullptr;
    }

private:
    PDH_HQUERY m_query = nullptr;
    PDH_HCOUNTER m_counter = nullptr;
};

std::string Utf8(const wchar_t* text, size_t length)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

// The hardware adapters in DXGI's order (the primary one first).
std::optional<std::vector<GpuAdapter>> EnumerateAdapters()
{
    IDXGIFactory1* factory = nullptr;
    if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory)))) {
        return std::nullopt;
    }
    std::vector<GpuAdapter> adapters;
    for (UINT index = 0;; ++index) {
        IDXGIAdapter1* adapter = nullptr;
        const HRESULT found = factory->EnumAdapters1(index, &adapter);
        if (found == DXGI_ERROR_NOT_FOUND) {
            break;
        }
        if (FAILED(found)) {
            continue;
        }
        DXGI_ADAPTER_DESC1 desc{};
        const HRESULT described = adapter->GetDesc1(&desc);
        adapter->Release();
        if (FAILED(described)) {
            continue;
        }
        // The description is a fixed field; a driver need not end it with a NUL.
        const size_t length = wcsnlen(desc.Description, sizeof desc.Description / sizeof desc.Description[0]);
        adapters.push_back({uint64_t{static_cast<uint32_t>(desc.AdapterLuid.HighPart)} << 32 | desc.AdapterLuid.LowPart,
                            Utf8(desc.Description, length), (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0});
    }
    factory->Release();
    return adapters;
}

class PdhCounters final : public CounterSource {
public:
    bool ReadCpu(HardwareSnapshot& out) override
    {
        if (!m_cpu.Open()) {
            m_cpu.Create(kCpuCounter);
            return false;
        }
        if (!m_cpu.Collect()) {
            return false;
        }
        PDH_FMT_COUNTERVALUE value{};
        if (PdhGetFormattedCounterValue(m_cpu.Counter(), kFormat, nullptr, &value) != ERROR_SUCCESS) {
            return false;
        }
        return StoreCpuUsage(out, value.CStatus, value.doubleValue);
    }

    bool ReadGpu(HardwareSnapshot& out) override
    {
        if (!m_gpu.Open()) {
            m_gpu.Create(kGpuCounter);
            return false;
        }
        if (!m_gpu.Collect()) {
            return false;
        }
        const GpuEngineLoads engines = ReadEngines();
        if (engines.Empty()) {
            return false;
        }
        const auto adapters = EnumerateAdapters();
        return adapters && ApplyGpuLoads(*adapters, engines.PerAdapter(), out);
    }

private:
    GpuEngineLoads ReadEngines()
    {
        GpuEngineLoads engines;
        DWORD bytes = 0;
        DWORD count = 0;
        const PDH_STATUS sized = PdhGetFormattedCounterArrayW(m_gpu.Counter(), kFormat, &bytes, &count, nullptr);
        if (static_cast<DWORD>(sized) != PDH_MORE_DATA || bytes == 0) {
            return engines;
        }
        std::vector<BYTE> buffer(bytes, 0);
        auto* items = reinterpret_cast<PDH_FMT_COUNTERVALUE_ITEM_W*>(buffer.data());
        if (PdhGetFormattedCounterArrayW(m_gpu.Counter(), kFormat, &bytes, &count, items) != ERROR_SUCCESS) {
            return engines;
        }
        const BYTE* end = buffer.data() + buffer.size();
        count = std::min<DWORD>(count, static_cast<DWORD>(buffer.size() / sizeof *items));
        for (DWORD i = 0; i < count; ++i) {
            const auto value = AcceptedPercent(items[i].FmtValue.CStatus, items[i].FmtValue.doubleValue);
            const auto* name = reinterpret_cast<const BYTE*>(items[i].szName);
            // Instance names live in the same buffer, after the items; none is read past its end.
            if (!value || name < buffer.data() || name >= end) {
                continue;
            }
            const size_t room = static_cast<size_t>(end - name) / sizeof(wchar_t);
            if (const auto key = ParseEngineInstance({items[i].szName, wcsnlen(items[i].szName, room)})) {
                engines.Add(*key, items[i].FmtValue.doubleValue);
            }
        }
        return engines;
    }

    CounterQuery m_cpu;
    CounterQuery m_gpu;
};

}  // namespace

std::unique_ptr<CounterSource> OpenPdhCounters()
{
    return std::make_unique<PdhCounters>();
}
