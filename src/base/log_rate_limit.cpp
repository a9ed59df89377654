#include "base/log_rate_limit.h"

std::optional<unsigned> LogRateLimit::Admit(const std::string& cause, uint64_t nowMs)
{
    const auto [it, first] = m_causes.try_emplace(cause);
    Cause& entry = it->second;
    if (!first && nowMs - entry.lastMs < kIntervalMs) {
        ++entry.held;
        return std::nullopt;
    }
    const unsigned held = entry.held;
    entry = {nowMs, 0};
    return held;
}
