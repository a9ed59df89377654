#include "hwmon/hardware_monitor.h"

#include <utility>

#include "base/log.h"
#include "hwmon/platform_sources.h"
#include "hwmon/sensor_passes.h"

HardwareMonitor::HardwareMonitor() : HardwareMonitor(OpenPlatformHardwareSources) {}

HardwareMonitor::HardwareMonitor(HardwareSourceOpener open) : m_open(std::move(open)) {}

HardwareMonitor::~HardwareMonitor()
{
    Close();
}

bool HardwareMonitor::Open()
{
    std::lock_guard lock(m_mutex);
    if (m_bOpen) {
        return true;
    }
    HardwareSources sources = m_open();
    if (!sources.sensors) {
        // Tried again every second: only the first failure is worth a line.
        if (!m_bMissingLogged) {
            LogInfo("hardware sensors: none available (" + sources.description + ")");
            m_bMissingLogged = true;
        }
        return false;
    }
    m_sensors = std::move(sources.sensors);
    m_counters = std::move(sources.counters);
    m_bOpen = true;
    LogInfo("hardware sensors: " + sources.description);
    return true;
}

void HardwareMonitor::Close()
{
    std::lock_guard lock(m_mutex);
    m_counters.reset();
    m_sensors.reset();
    m_bOpen = false;
}

bool HardwareMonitor::ReadSensors(HardwareSnapshot& out)
{
    std::lock_guard lock(m_mutex);
    if (!m_bOpen) {
        return false;
    }
    out = {};
    ReadSensorPasses(*m_sensors, out);
    return true;
}

bool HardwareMonitor::ReadCounters(HardwareSnapshot& out)
{
    std::lock_guard lock(m_mutex);
    if (!m_bOpen) {
        return false;
    }
    out = {};
    if (!m_counters) {
        return false;
    }
    const bool cpu = m_counters->ReadCpu(out);
    const bool gpu = m_counters->ReadGpu(out);
    return cpu || gpu;
}
