// The outside sensor library, called through its ordinals. Every call happens
// on the polling thread under the monitor's lock, except the shutdown, which
// the window thread makes after that thread has been joined.
#include <windows.h>

#include <array>
#include <string>

#include "hwmon/sensor_library.h"

namespace {

using InitialiseFn = int (*)(int flags);
using ShutdownFn = int (*)();
using CountFn = int (*)();
using RefreshFn = int (*)();
using UpdateFn = int (*)(int sensor);
using NameFn = int (*)(int sensor, char* buffer, int size);
using ReadFn = int (*)(int kind, int sensor, int reading, void* record);

struct Ordinals {
    WORD initialise, shutdown, count, refresh, update, name, read;
};
constexpr std::array<Ordinals, 2> kOrdinalSets{{{850, 398, 156, 263, 678, 952, 641},
                                                 {284, 675, 537, 263, 207, 959, 470}}};
constexpr std::array<int, 3> kInitialiseFlags{192, 0, 64};
constexpr wchar_t kLibraryName[] = L"HWiNFO32.dll";

struct EntryPoints {
    InitialiseFn initialise = nullptr;
    ShutdownFn shutdown = nullptr;
    CountFn count = nullptr;
    RefreshFn refresh = nullptr;  // the one entry point a library may lack
    UpdateFn update = nullptr;
    NameFn name = nullptr;
    ReadFn read = nullptr;

    bool Complete() const { return initialise && shutdown && count && update && name && read; }
};

template <typename F>
F ByOrdinal(HMODULE module, WORD ordinal)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

EntryPoints Resolve(HMODULE module, const Ordinals& set)
{
    return {ByOrdinal<InitialiseFn>(module, set.initialise), ByOrdinal<ShutdownFn>(module, set.shutdown),
            ByOrdinal<CountFn>(module, set.count),           ByOrdinal<RefreshFn>(module, set.refresh),
            ByOrdinal<UpdateFn>(module, set.update),         ByOrdinal<NameFn>(module, set.name),
            ByOrdinal<ReadFn>(module, set.read)};
}

// The library beside the program first, then wherever the system finds it.
HMODULE LoadBesideProgramOrByName(std::string& where)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring beside(path, length);
        beside.resize(beside.rfind(L'\\') + 1);
        beside += kLibraryName;
        if (HMODULE module = LoadLibraryW(beside.c_str())) {
            where = "beside the program";
            return module;
        }
    }
    where = "on the search path";
    return LoadLibraryW(kLibraryName);
}

class SensorLibrary final : public SensorSource {
public:
    SensorLibrary(HMODULE module, const EntryPoints& entry) : m_module(module), m_entry(entry) {}
    ~SensorLibrary() override
    {
        m_entry.shutdown();
        FreeLibrary(m_module);
    }
    SensorLibrary(const SensorLibrary&) = delete;
    SensorLibrary& operator=(const SensorLibrary&) = delete;

    void Refresh() override
    {
        if (m_entry.refresh) {
            m_entry.refresh();
        }
    }
    int32_t SensorCount() override { return m_entry.count(); }
    void UpdateSensor(int32_t sensor) override { m_entry.update(sensor); }
    void SensorName(int32_t sensor, char* buffer, int32_t size) override { m_entry.name(sensor, buffer, size); }
    bool ReadReading(int32_t kind, int32_t sensor, int32_t reading, SensorReadingRecord& record) override
    {
        return m_entry.read(kind, sensor, reading, record.Data()) != 0;
    }

private:
    HMODULE m_module;
    EntryPoints m_entry;
};

}  // namespace

std::unique_ptr<SensorSource> OpenSensorLibrary(std::string& description)
{
    std::string where;
    HMODULE module = LoadBesideProgramOrByName(where);
    if (module == nullptr) {
        description = "HWiNFO32.dll is neither beside the program nor on the search path";
        return nullptr;
    }
    size_t set = 0;
    EntryPoints entry = Resolve(module, kOrdinalSets[set]);
    if (!entry.initialise) {
        entry = Resolve(module, kOrdinalSets[++set]);
    }
    if (!entry.Complete()) {
        FreeLibrary(module);
        description = "HWiNFO32.dll " + where + " lacks its entry points";
        return nullptr;
    }
    for (int flags : kInitialiseFlags) {
        if (entry.initialise(flags) == 0) {
            description = "HWiNFO32.dll " + where + " (" + (set == 0 ? "first" : "second") +
                          " ordinal set, initialised with flags " + std::to_string(flags) + ")";
            return std::make_unique<SensorLibrary>(module, entry);
        }
    }
    FreeLibrary(module);
    description = "HWiNFO32.dll " + where + " refused to initialise with the flags 192, 0 and 64";
    return nullptr;
}
