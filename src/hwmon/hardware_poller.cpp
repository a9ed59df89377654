#include "hwmon/hardware_poller.h"

#include <algorithm>
#include <utility>

HardwarePoller::HardwarePoller(HardwareMonitor& monitor, SnapshotTarget target, std::function<uint64_t()> now)
    : m_monitor(monitor), m_target(target), m_now(std::move(now))
{
}

void HardwarePoller::Pass()
{
    const uint64_t now = m_now();
    const bool sensorsDue = m_lastSensorTick == 0 || now - m_lastSensorTick >= kSensorPeriodMs;
    if (!sensorsDue && m_lastCounterTick != 0 && now - m_lastCounterTick < kCounterPeriodMs) {
        return;
    }

    HardwareSnapshot sensors;
    bool sensorsRead = false;
    if (sensorsDue) {
        sensorsRead = m_monitor.ReadSensors(sensors);
        m_lastSensorTick = now;
    }
    HardwareSnapshot counters;
    const bool countersRead = m_monitor.ReadCounters(counters);
    m_lastCounterTick = now;
    if (countersRead) {
        HoldCounters(counters, now);
    }
    if (sensorsRead || countersRead) {
        Merge(sensorsRead ? &sensors : nullptr);
    }
}

uint64_t HardwarePoller::NextDueTick() const
{
    if (m_lastCounterTick == 0) {
        return 0;
    }
    return std::min(m_lastCounterTick + kCounterPeriodMs, m_lastSensorTick + kSensorPeriodMs);
}

void HardwarePoller::HoldCounters(const HardwareSnapshot& counters, uint64_t tick)
{
    if (counters.cpuUsageValid) {
        m_cpu = {counters.cpuUsage, tick};
    }
    if (counters.discreteGpuUsageValid) {
        m_discreteGpu = {counters.discreteGpuUsage, tick};
    }
    if (counters.integratedGpuUsageValid) {
        m_integratedGpu = {counters.integratedGpuUsage, tick};
    }
}

void HardwarePoller::Merge(const HardwareSnapshot* sensors)
{
    std::lock_guard lock(m_target.mutex);
    HardwareSnapshot& snapshot = m_target.snapshot;
    if (sensors != nullptr) {
        snapshot = *sensors;
        m_target.valid = true;
    } else if (!m_target.valid) {
        snapshot = {};
        m_target.valid = true;
    }
    const uint64_t now = m_now();
    if (m_cpu.FreshAt(now)) {
        snapshot.cpuUsage = m_cpu.value;
        snapshot.cpuUsageValid = true;
    }
    if (m_discreteGpu.FreshAt(now)) {
        snapshot.hasDiscreteGpu = true;
        snapshot.discreteGpuUsage = m_discreteGpu.value;
        snapshot.discreteGpuUsageValid = true;
    }
    if (m_integratedGpu.FreshAt(now)) {
        snapshot.hasIntegratedGpu = true;
        snapshot.integratedGpuUsage = m_integratedGpu.value;
        snapshot.integratedGpuUsageValid = true;
    }
}
